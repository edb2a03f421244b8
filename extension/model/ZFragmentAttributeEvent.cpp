#include "extension/model/ZFragmentAttributeEvent.h"

#include "common/VornUtils.h"

ZFragmentAttributeEvent::ZFragmentAttributeEvent()
    : threadId(static_cast<int32_t>(vorn::getProcessID()))
{
    type = FRAGMENT_ATTRIBUTE;
}
