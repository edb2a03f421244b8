#pragma once

#include <cstdint>

#include "extension/model/ZFragmentEvent.h"

class ZRemoteFragmentEndEvent : public ZFragmentEvent {
public:
    ZRemoteFragmentEndEvent() { type = REMOTE_FRAGMENT_END; }

    int32_t httpStatusCode = 200;
    int32_t uriToken = -1;
    int64_t adjustedEndTime = 0;  // request end in microseconds
};
