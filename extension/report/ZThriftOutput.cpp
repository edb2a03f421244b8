#include "extension/report/ZThriftOutput.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include <thrift/TOutput.h>

namespace {

using apache::thrift::GlobalOutput;
using apache::thrift::TOutput;
using OutputFunction = void (*)(const char*);

// A longer message is cut: its host part comes from the configuration.
constexpr std::size_t kMaxMessageBytes = 1024;

void output(const char* message) noexcept;

// The function in place. The library offers no getter; its output object
// holds that function and nothing else.
OutputFunction current() noexcept
{
    static_assert(std::is_standard_layout<TOutput>::value && sizeof(TOutput) == sizeof(OutputFunction),
                  "the library's output object is expected to hold its function alone");
    OutputFunction function;
    std::memcpy(&function, &GlobalOutput, sizeof(function));
    return function;
}

void restoreDefault() noexcept
{
    if (current() == &output)
        GlobalOutput.setOutputFunction(&TOutput::errorTimeWrapper);
}

struct State {
    // Copy of the extension's log: its own line buffer, the same stream.
    VornLog log;
    VornLogLimiter limiter;
    // The thread whose messages are logged.
    std::atomic<pthread_t> owner{};
    std::atomic<uint64_t> fromOtherThreads{0};

    // Should this library go away without an uninstall, the library is not
    // left calling into it.
    ~State() { restoreDefault(); }
};

State state;

void output(const char* message) noexcept
{
    try {
        if (!pthread_equal(pthread_self(), state.owner.load(std::memory_order_relaxed))) {
            state.fromOtherThreads.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (message == nullptr || !state.log.enabled(VornLog::LEVEL_DBG1))
            return;
        std::string text(message, ::strnlen(message, kMaxMessageBytes));
        // No end within the bound: the byte after it is still the message's.
        if (text.size() == kMaxMessageBytes && message[kMaxMessageBytes] != '\0')
            text += "...";
        const VornLogLimiter::Verdict verdict = state.limiter.failed(text, VornLogLimiter::Clock::now());
        if (!verdict.write)
            return;
        std::string note;
        if (verdict.unwritten > 0)
            note = VornLogLimiter::unwrittenNote(verdict.unwritten);
        const uint64_t others = state.fromOtherThreads.exchange(0, std::memory_order_relaxed);
        if (others > 0)
            note += (note.empty() ? "(" : " (") + std::to_string(others) + " messages of other threads not logged)";
        if (note.empty())
            state.log.logDbg1("Thrift:", VornLog::untrusted(text));
        else
            state.log.logDbg1("Thrift:", VornLog::untrusted(text), note);
    } catch (...) {
        // Only this line is lost; a part already appended must not start the next.
        state.log.buffer.clear();
    }
}

} // namespace

bool ZThriftOutput::install(const VornLog& log, VornLogLimiter::Clock::duration interval) noexcept
{
    try {
        state.log = log;
        state.log.buffer.clear();
        state.limiter = VornLogLimiter(interval);
    } catch (...) {
        restoreDefault();
        return false;
    }
    state.fromOtherThreads.store(0, std::memory_order_relaxed);
    state.owner.store(pthread_self(), std::memory_order_relaxed);
    GlobalOutput.setOutputFunction(&output);
    return true;
}

void ZThriftOutput::uninstall() noexcept
{
    try {
        const uint64_t unlogged = state.limiter.succeeded().unwritten
                                  + state.fromOtherThreads.exchange(0, std::memory_order_relaxed);
        if (unlogged > 0)
            state.log.logDbg1("Thrift:", unlogged, "messages not logged since the last line");
    } catch (...) {
        state.log.buffer.clear();
    }
    restoreDefault();
}

bool ZThriftOutput::installed() noexcept
{
    return current() == &output;
}
