#pragma once
// RegisterCommand: the facts by which the probe introduces itself to the probe
// aggregator, and the JSON document that carries them. A fresh one is built
// for every registration attempt, so the component identifier carries the
// time of that attempt.

#include <cstdint>
#include <string>

#include "common/VornLog.h"
#include "daemon/DaemonConfig.h"

class RegisterCommand {
public:
    static constexpr int kBuildNumber = 336;

    RegisterCommand(const DaemonConfig& config, VornLog& log);

    // The printed document (cJSON's formatted form), decoded from UTF-8, so
    // that its UTF-8 form is byte for byte what cJSON printed.
    std::wstring payload() const;

    std::int32_t flags;
    std::wstring componentID;
    std::wstring name;
    std::wstring host;
    std::int32_t port;
    std::wstring protocol;
    std::wstring type;
    std::wstring lanID;
    std::wstring installDir;
    std::int64_t uptime;
};
