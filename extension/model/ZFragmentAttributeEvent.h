#pragma once

#include <cstdint>
#include <string>

#include "extension/model/ZCaptureEvent.h"

class ZFragmentAttributeEvent : public ZCaptureEvent {
public:
    ZFragmentAttributeEvent();

    int32_t threadId;        // process id of the worker
    int32_t txnInstanceId = 0;
    std::string name;
    std::string value;
};
