#pragma once

#include <cstdint>

#include "extension/model/ZCaptureEvent.h"

class ZThreadEvent : public ZCaptureEvent {
public:
    ZThreadEvent();

    int32_t threadId;                 // process id of the worker
    int32_t depth = 1;
    uint64_t timeInMicroseconds = 0;  // since the Unix epoch
};
