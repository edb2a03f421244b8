#include "extension/model/ZMethodEvent.h"

int32_t ZMethodEvent::generateMethodId()
{
    static int32_t methodId = 0;
    return ++methodId;
}
