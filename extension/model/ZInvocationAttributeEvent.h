#pragma once

#include <cstdint>
#include <string>

#include "extension/model/ZCaptureEvent.h"

class ZInvocationAttributeEvent : public ZCaptureEvent {
public:
    ZInvocationAttributeEvent();

    int32_t threadId;        // process id of the worker
    int32_t depth = 0;
    int32_t startEventInstance = 0;
    std::string attributeName;
    std::string attributeValue;
};
