#include "daemon/RegisterCommand.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <vector>

#include "common/VornUtils.h"
#include "daemon/VornJSON.h"

namespace {

// The working folder, its bytes kept as they are (decoded as UTF-8, which
// fromUtf writes back unchanged); empty when it cannot be read.
std::wstring currentFolder()
{
    std::vector<char> buffer(4096, '\0');
    if (!getcwd(buffer.data(), buffer.size() - 1))
        return std::wstring();
    return vorn::fromUtf8(std::string(buffer.data()));
}

// Milliseconds the daemon has been running, from the start reading that the
// entry point took; 0 when none was taken.
std::int64_t runningMilliseconds()
{
    if (DaemonConfig::_uptime <= 0)
        return 0;
    const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
    return nowMs > DaemonConfig::_uptime ? nowMs - DaemonConfig::_uptime : 0;
}

} // namespace

RegisterCommand::RegisterCommand(const DaemonConfig& config, VornLog& /*log*/)
    : flags(0),
      componentID(config.probeName + L"." + std::to_wstring(static_cast<long long>(std::time(nullptr)))),
      name(config.probeName),
      host(config.fqdn),
      port(0),
      protocol(L"http"),
      type(L"probe"),
      lanID(L"Default"),
      installDir(currentFolder()),
      uptime(runningMilliseconds())
{
}

std::wstring RegisterCommand::payload() const
{
    zJSON* root = zJSON::create(zJSON::Object, true);
    zJSON* stringAttributes = zJSON::create(zJSON::Object, false);
    zJSON* numericAttributes = zJSON::create(zJSON::Object, false);

    root->add(L"infoType", 1LL);
    root->add(L"genericStringAttributes", stringAttributes);
    root->add(L"genericNumericAttributes", numericAttributes);
    root->add(L"flags", static_cast<long long>(flags));
    root->add(L"componentID", componentID);
    root->add(L"name", name);
    root->add(L"host", host);
    root->add(L"port", static_cast<long long>(port));
    root->add(L"protocol", protocol);
    root->add(L"type", type);
    root->add(L"lanID", lanID);
    root->add(L"systemDescription", vorn::getSystemSpec());
    root->add(L"installDir", installDir);
    root->add(L"technologyType", 10LL);
    root->add(L"componentVersion", L"0.1." + std::to_wstring(kBuildNumber));
    root->add(L"uptime", static_cast<long long>(uptime));
    root->add(L"logFiles", std::wstring());
    root->add(L"jvmDescription", std::wstring());
    root->add(L"mode", std::wstring(L"Enterprise"));
    root->add(L"pointsFile", std::wstring());
    root->add(L"propertyFiles", std::wstring());
    root->add(L"properties", std::wstring());

    const std::string printed = root->print();

    zJSON::destroy(root);
    zJSON::destroy(stringAttributes);
    zJSON::destroy(numericAttributes);

    return vorn::fromUtf8(printed);
}
