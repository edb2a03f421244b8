#include "daemon/DaemonConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/VornUtils.h"
#include "common/zException.h"

std::int64_t DaemonConfig::_uptime = 0;

namespace {

template <typename T>
T readKey(const boost::property_tree::wptree& tree, const wchar_t* key, const T& fallback)
{
    // A value that does not convert as a whole (e.g. "10s" for a number)
    // counts as missing.
    boost::optional<T> value = tree.get_optional<T>(boost::property_tree::wptree::path_type(key, L'.'));
    return value ? *value : fallback;
}

std::wstring systemHostName()
{
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return std::wstring();
    buffer[sizeof buffer - 1] = '\0';
    return vorn::toUtf(buffer);
}

} // namespace

DaemonConfig::DaemonConfig() : logLevel(0), retryInterval(0) {}

void DaemonConfig::load(const std::wstring& installDir)
{
    const std::wstring path = installDir + kFileName;

    struct stat st;
    if (stat(vorn::fromUtf(path).c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            throw zException(L"Unable to open configuration file: " + path + L". No such file");
        throw zException(L"Unable to open configuration file: " + path + L". " + vorn::toUtf(std::strerror(err)));
    }

    open(path);
    applyTree(installDir);
}

void DaemonConfig::applyTree(const std::wstring& installDir)
{
    logLevel = readKey<int>(_tree, L"daemon.log_level", kDefaultLogLevel);

    logFile = readKey<std::wstring>(_tree, L"daemon.log_file", kDefaultLogFile);
    vorn::strReplace(logFile, L"$(INSTALL_DIR)", installDir);

    retryInterval = readKey<int>(_tree, L"daemon.retry_interval", kDefaultRetryInterval);
    // A negative interval would never let the wait end; use the default.
    if (retryInterval < 0)
        retryInterval = kDefaultRetryInterval;

    registerUrl = readKey<std::wstring>(_tree, L"daemon.register_url", kDefaultRegisterUrl);
    healthCheckUrl = readKey<std::wstring>(_tree, L"daemon.health_check_url", kDefaultHealthCheckUrl);

    hostname = systemHostName();

    probeName = readKey<std::wstring>(_tree, L"daemon.probe_name", hostname + L".PHP");
    vorn::strReplace(probeName, L"$(MACHINENAME)", hostname);
    std::wstring port = vorn::parseURL(healthCheckUrl).port;
    if (port.empty())
        port = L"80";
    vorn::strReplace(probeName, L"$(WEBSERVER_PORT)", port);

    fqdn = vorn::resolveFQDN(hostname);
}
