#pragma once

#include <cstdint>
#include <string>

#include "extension/model/ZFragmentEvent.h"

class ZRemoteFragmentStartEvent : public ZFragmentEvent {
public:
    ZRemoteFragmentStartEvent() { type = REMOTE_FRAGMENT_START; }

    int32_t uriToken = 0;
    std::string remoteConsumerId;
    std::string diagArg;           // the creator sets "DIAG_ARG:type=http"
    std::string correlationToken;  // incoming header text, unparsed
};
