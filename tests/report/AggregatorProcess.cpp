#include "AggregatorProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

AggregatorProcess::AggregatorProcess()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

    std::vector<std::string> args = {QUILLET_PYTHON, QUILLET_STANDIN_AGGREGATOR, "--gen-py", QUILLET_GEN_PY,
                                     "--port", "0"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    const int rc = posix_spawn(&pid_, QUILLET_PYTHON, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    if (rc != 0) {
        pid_ = -1;
        close(out_);
        throw std::runtime_error("cannot start the stand-in aggregator");
    }
    Json first = next(10000);
    if (!first || jsonString(first.get(), "record") != "listening") {
        stop();
        throw std::runtime_error("the stand-in aggregator did not start");
    }
    port_ = static_cast<int>(jsonNumber(first.get(), "port"));
}

AggregatorProcess::~AggregatorProcess()
{
    stop();
    if (out_ >= 0) {
        close(out_);
    }
}

void AggregatorProcess::stop()
{
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const long long deadline = nowMs() + 3000;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (nowMs() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

bool AggregatorProcess::readLine(std::string& line, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        const long long left = deadline - nowMs();
        if (left <= 0 || out_ < 0) {
            return false;
        }
        pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t got = read(out_, buffer, sizeof(buffer));
        if (got <= 0) {
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

AggregatorProcess::Json AggregatorProcess::next(int timeoutMs)
{
    std::string line;
    if (!readLine(line, timeoutMs)) {
        return Json();
    }
    return Json(cJSON_Parse(line.c_str()));
}

std::vector<AggregatorProcess::Json> AggregatorProcess::until(const std::string& record, int timeoutMs)
{
    std::vector<Json> records;
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const long long left = deadline - nowMs();
        Json json = next(left > 0 ? static_cast<int>(left) : 0);
        if (!json) {
            return std::vector<Json>();
        }
        const bool last = jsonString(json.get(), "record") == record;
        records.push_back(std::move(json));
        if (last) {
            return records;
        }
    }
}

std::string jsonString(const cJSON* object, const char* name)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? std::string(item->valuestring) : std::string();
}

long long jsonNumber(const cJSON* object, const char* name)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsNumber(item) ? static_cast<long long>(item->valuedouble) : -999999;
}

const cJSON* jsonObject(const cJSON* object, const char* name)
{
    return cJSON_GetObjectItemCaseSensitive(object, name);
}

bool jsonHas(const cJSON* object, const char* name)
{
    return cJSON_GetObjectItemCaseSensitive(object, name) != nullptr;
}
