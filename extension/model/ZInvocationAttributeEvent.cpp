#include "extension/model/ZInvocationAttributeEvent.h"

#include "common/VornUtils.h"

ZInvocationAttributeEvent::ZInvocationAttributeEvent()
    : threadId(static_cast<int32_t>(vorn::getProcessID()))
{
    type = INVOCATION_ATTRIBUTE;
}
