#include "extension/model/ZThreadEvent.h"

#include "common/VornUtils.h"

ZThreadEvent::ZThreadEvent()
    : threadId(static_cast<int32_t>(vorn::getProcessID()))
{
}
