#pragma once
// DaemonConfig: the typed settings of agent-daemon, read from
// <installation folder>/etc/qx-daemon.ini, section "daemon". Every key has a
// default; a missing key or a value of the wrong type takes it.

#include <cstdint>
#include <string>

#include "daemon/VornConfig.h"

class DaemonConfig : public VornConfig {
public:
    static constexpr int kDefaultLogLevel = 0;
    static constexpr int kDefaultRetryInterval = 60;
    static constexpr const wchar_t* kDefaultLogFile = L"/tmp/qx_php_agent.log";
    static constexpr const wchar_t* kDefaultRegisterUrl = L"http://127.0.0.1:45000/commander/registrar/register";
    static constexpr const wchar_t* kDefaultHealthCheckUrl = L"http://127.0.0.1";
    static constexpr const wchar_t* kFileName = L"/etc/qx-daemon.ini";

    DaemonConfig();

    // Fills every field from the installation folder's configuration file.
    // Throws zException when the file is missing, cannot be examined, is not
    // a regular file, cannot be read, or does not parse.
    void load(const std::wstring& installDir);

    std::wstring logFile;
    int logLevel;
    std::wstring probeName;
    std::wstring registerUrl;
    int retryInterval;          // ticks of one second between attempts
    std::wstring healthCheckUrl;
    std::wstring hostname;
    std::wstring fqdn;

    // Monotonic clock reading (milliseconds) at program start.
    static std::int64_t _uptime;

private:
    // The settings themselves, apart from reading the file and the host facts;
    // load() calls it once the tree is read.
    void applyTree(const std::wstring& installDir);
};
