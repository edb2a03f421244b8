#pragma once

#include <cstdint>

#include "extension/model/ZFragmentEndEvent.h"

class ZHttpFragmentEndEvent : public ZFragmentEndEvent {
public:
    ZHttpFragmentEndEvent() { type = HTTP_FRAGMENT_END; }

    int32_t httpStatusCode = 200;
    int32_t uriToken = -1;
};
