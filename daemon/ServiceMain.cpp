#include "daemon/ServiceMain.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "daemon/RegisterCommand.h"
#include "daemon/zCURL.h"

ServiceMain* ServiceMain::_instance = nullptr;

namespace {

// The block is read by other processes without a lock: the flag byte is
// stored on its own, ordered after (or before) the bytes it guards.
void storeFlag(unsigned char* flag, unsigned char value)
{
    __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

std::wstring textOf(const zException& e)
{
    return vorn::fromUtf8(e.message);
}

} // namespace

void ServiceMain::initialize(boost::asio::io_context& ioService, const DaemonConfig& config, const VornLog& log)
{
    ServiceMain* created = new ServiceMain(ioService, config, log);
    _instance = created;
}

ServiceMain* ServiceMain::instance()
{
    return _instance;
}

void ServiceMain::free()
{
    if (_instance) {
        delete _instance;
        _instance = nullptr;
    }
}

ServiceMain::ServiceMain(boost::asio::io_context& ioService, const DaemonConfig& config, const VornLog& log)
    : _ioService(ioService),
      _timer(ioService),
      _config(config),
      _log(log),
      _retries(0),
      _shm(),
      _metadata(),
      _state(HealthCheck)
{
    _timer.expires_at(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    std::memset(&_metadata, 0, sizeof _metadata);

    _shm.create(vorn::toUtf(AgentMetadata::kBlockName), AgentMetadata::kSize);
    unsigned char* shared = block();
    // A block left by an earlier run reads as not registered from here on:
    // the flag goes first, then the rest.
    storeFlag(shared, 0);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    std::memcpy(shared + 1, reinterpret_cast<const unsigned char*>(&_metadata) + 1, AgentMetadata::kSize - 1);
    _shm.flushAsync();

    _log.logDbg1("Shared memory created successfully");
    _log.logSystem("Initializing Service");
    armTimer();
    _log.logSystem("Service Started!");
}

ServiceMain::~ServiceMain()
{
    if (_shm.isMapped() && _shm.mappedSize() >= AgentMetadata::kSize) {
        _log.logDbg1("Marking registration false");
        storeFlag(static_cast<unsigned char*>(_shm.address()), 0);
        _shm.flushAsync();
    }
    _log.logDbg1("Freeing shared memory resources");
    ZShmBase::erase(vorn::toUtf(AgentMetadata::kBlockName));
}

unsigned char* ServiceMain::block()
{
    if (!_shm.isMapped() || _shm.mappedSize() < AgentMetadata::kSize)
        throw zException(L"Registration block is not mapped with its full size");
    return static_cast<unsigned char*>(_shm.address());
}

void ServiceMain::armTimer()
{
    _timer.async_wait([this](const boost::system::error_code& error) {
        // Only a cancelled wait (the timer is going away) is not a tick.
        if (error == boost::asio::error::operation_aborted)
            return;
        onTimer();
    });
}

void ServiceMain::onTimer()
{
    switch (_state) {
    case HealthCheck:
        healthCheck();
        break;
    case Register:
        sendRegisterCommand();
        break;
    case WaitRetry: {
        ++_retries;
        const std::uint64_t interval = _config.retryInterval > 0 ? static_cast<std::uint64_t>(_config.retryInterval) : 0;
        if (_retries > interval) {
            _state = Register;
            _retries = 0;
        }
        break;
    }
    default:
        break;
    }
    // Fixed rate: the next expiry follows the previous one, not the present,
    // so a slow tick is followed at once by the ticks it held up.
    _timer.expires_at(_timer.expiry() + std::chrono::seconds(1));
    armTimer();
}

void ServiceMain::healthCheck()
{
    const std::wstring& url = _config.healthCheckUrl;
    _log.logDbg1("Performing healthcheck with URL:", url);
    try {
        zCURL curl(_log);
        const long status = curl.get(url, std::vector<std::wstring>());
        if (status == 200) {
            _log.logDbg1("WebServer is up and running");
            _state = Register;
            _log.logDbg1("Performing healthcheck with URL:", url, "...done");
        } else {
            _log.logError("Healthcheck failed. HTTP response code was:", status);
        }
    } catch (const zException& e) {
        _log.logError("HTTP GET error:", textOf(e));
    }
}

void ServiceMain::sendRegisterCommand()
{
    const std::wstring& url = _config.registerUrl;
    _log.logDbg1("Sending register command to ProbeAggregator on URL:", url);

    RegisterCommand command(_config, _log);
    const std::wstring payload = command.payload();
    _log.logDbg1("Sending JSON Payload:\n", payload);

    long status = 0;
    try {
        zCURL curl(_log);
        std::vector<std::wstring> headers;
        headers.push_back(L"Content-Type: application/json");
        headers.push_back(kAuthorization);
        status = curl.post(url, payload, headers);
        if (status != 200) {
            _log.logError("Failed to register. HTTP response code was:", status);
            _log.logError("Will retry in", _config.retryInterval, "seconds");
            _retries = 0;
            _state = WaitRetry;
            return;
        }
        _log.logDbg1("ProbeAggregator replied with HTTP response code: 200");
    } catch (const zException& e) {
        _log.logError("Post error:", textOf(e));
        _retries = 0;
        _state = WaitRetry;
        return;
    }

    _log.logDbg1("Sending register command to ProbeAggregator...done");
    _log.logSystem("Successfully registered with ProbeAggregator");
    _log.logDbg1("Marking registration successful in shared memory");
    publishRegistration(command);
    _state = Registered;
}

void ServiceMain::publishRegistration(const RegisterCommand& command)
{
    std::memset(&_metadata, 0, sizeof _metadata);
    AgentMetadata::setText(_metadata.host, vorn::fromUtf(command.host));
    AgentMetadata::setText(_metadata.probeName, vorn::fromUtf(command.name));
    AgentMetadata::setText(_metadata.componentID, vorn::fromUtf(command.componentID));
    _metadata.technologyType = AgentMetadata::kTechnologyType;
    _metadata.registered = 1;

    // Readers trust the texts once byte 0 is 1: write everything else first,
    // then the flag.
    unsigned char* shared = block();
    const unsigned char* staged = reinterpret_cast<const unsigned char*>(&_metadata);
    std::memcpy(shared + 1, staged + 1, AgentMetadata::kSize - 1);
    storeFlag(shared, staged[0]);
    _shm.flushAsync();
}
