#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

// The stand-in probe aggregator (tools/standin_aggregator.py) run by the
// system's Python on a free loopback port, with its JSON lines read back.
class AggregatorProcess {
public:
    struct JsonDeleter {
        void operator()(cJSON* json) const { cJSON_Delete(json); }
    };
    using Json = std::unique_ptr<cJSON, JsonDeleter>;

    // Starts the aggregator and waits (bounded) for the line naming its port.
    AggregatorProcess();
    // Terminates it and waits for it.
    ~AggregatorProcess();

    AggregatorProcess(const AggregatorProcess&) = delete;
    AggregatorProcess& operator=(const AggregatorProcess&) = delete;

    int port() const { return port_; }

    // Next record, or null when none arrives within the time-out.
    Json next(int timeoutMs = 5000);
    // Records up to and including the first whose "record" is the given
    // name; empty when it does not arrive in time.
    std::vector<Json> until(const std::string& record, int timeoutMs = 5000);

    // Stops the process (SIGTERM, then SIGKILL) and waits for it.
    void stop();

private:
    bool readLine(std::string& line, int timeoutMs);

    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string pending_;
};

// Helpers over cJSON for the tests.
std::string jsonString(const cJSON* object, const char* name);
long long jsonNumber(const cJSON* object, const char* name);
const cJSON* jsonObject(const cJSON* object, const char* name);
bool jsonHas(const cJSON* object, const char* name);
