#pragma once

#include <cstdint>

#include "extension/model/ZMethodEvent.h"

class ZMethodStartEvent : public ZMethodEvent {
public:
    ZMethodStartEvent() { type = METHOD_START; }

    int32_t eventInstance = 0;    // from ZMethodEvent::generateMethodId
    int32_t methodArgToken = -1;  // token of the call's argument text, or -1
};
