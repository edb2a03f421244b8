#pragma once

#include <cstdint>

#include "extension/model/ZThreadEvent.h"

class ZMethodEvent : public ZThreadEvent {
public:
    // Next method instance id of this process: 1, 2, ... never reset, so ids
    // stay unique across the requests of a worker.
    static int32_t generateMethodId();
};
