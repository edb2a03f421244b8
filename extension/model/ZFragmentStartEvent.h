#pragma once

#include <cstdint>
#include <string>

#include "extension/model/ZFragmentEvent.h"

class ZFragmentStartEvent : public ZFragmentEvent {
public:
    // Every creator sets it to the token of the collapsed path; it starts at
    // the empty text's token rather than an indeterminate value.
    int32_t uriToken = 0;
    std::string remoteConsumerId;
    std::string diagArg = "DIAG_ARG:type=http";
    int32_t transactionType = 4;
};
