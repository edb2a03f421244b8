#pragma once

#include <cstdint>

#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZPHPException.h"

class ZMethodEndEvent : public ZMethodEvent {
public:
    // Bits 0 and 5: the call ended with an error or an exception.
    static constexpr int32_t FLAG_EXCEPTION = 33;

    ZMethodEndEvent() { type = METHOD_END; }

    int32_t startEventInstanceId = 0;
    int32_t flags = 0;  // 0 or FLAG_EXCEPTION
    ZPHPException exception;
};
