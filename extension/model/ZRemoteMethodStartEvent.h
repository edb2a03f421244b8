#pragma once

#include <cstdint>
#include <string>

#include "extension/model/ZMethodStartEvent.h"

class ZRemoteMethodStartEvent : public ZMethodStartEvent {
public:
    ZRemoteMethodStartEvent() { type = REMOTE_METHOD_START; }

    int32_t targetInfoToken = 0;   // 0: the empty text, no target description
    std::string correlationToken;  // token text put into the outgoing call
};
