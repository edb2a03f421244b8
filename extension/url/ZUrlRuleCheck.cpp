#include "extension/url/ZUrlRuleCheck.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <regex.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;
using Verdict = ZUrlRuleCheck::Verdict;

// What the child says of one rule.
struct Record {
    std::uint32_t index;
    std::uint32_t verdict;
    std::int32_t error;
    std::uint32_t textLength;
    std::int64_t cpu;
    std::uint64_t memory;
};

// Records that end the child's stream: it stopped of its own accord, it
// could not start the thread that compiles, or it died on the rule it was
// compiling, of the signal in `error`. Its own handler says so: the exit
// status may not be there to read (a server that ignores SIGCHLD has its
// children reaped unseen).
constexpr std::uint32_t kEnd = 0xFFFFFFFF;
constexpr std::uint32_t kNoThread = 0xFFFFFFFE;
constexpr std::uint32_t kDied = 0xFFFFFFFD;

enum class Ending { Stopped, NoThread, Died, OutOfTime };

// The child's end of the pipe, for its signal handler.
int childFd = -1;

// The compiling thread's own: the process's clock is sampled at ticks while
// a process timer is armed.
nanoseconds cpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
}

std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The process's data size ("VmData"), which RLIMIT_DATA limits; 0 when it
// cannot be read (no /proc).
std::size_t dataSize()
{
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr)
        return 0;
    char line[256];
    unsigned long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmData: %lu kB", &kib) == 1)
            break;
    std::fclose(status);
    return static_cast<std::size_t>(kib) << 10;
}

bool writeAll(int fd, const void* data, std::size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void endStream(int fd, std::uint32_t marker)
{
    Record record{};
    record.index = marker;
    writeAll(fd, &record, sizeof record);
}

// The end of the child on a signal: the time limit (SIGPROF), its stack
// or memory run out (SIGSEGV, SIGBUS), glibc's own abort (SIGABRT). Runs on
// a stack of its own; writeAll() (write() alone) and _exit() are safe here.
void died(int signal)
{
    Record record{};
    record.index = kDied;
    record.error = signal;
    writeAll(childFd, &record, sizeof record);
    _exit(0);
}

// What one child is asked to do: the rules from `first` on, with what is
// left of the budgets.
struct Plan {
    const std::vector<std::string>* patterns;
    std::size_t first;
    int flags;
    int fd;
    nanoseconds perRule;
    nanoseconds timeLeft;
    std::size_t memoryLeft;
};

void armTimer(nanoseconds limit)
{
    itimerval timer{};
    const auto micros = std::max<long long>(1, std::chrono::duration_cast<std::chrono::microseconds>(limit).count());
    timer.it_value.tv_sec = static_cast<time_t>(micros / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    setitimer(ITIMER_PROF, &timer, nullptr);
}

// The high-water mark of the process's resident memory.
std::size_t peakResident()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) << 10;
}

void* compileRules(void* argument)
{
    const Plan& plan = *static_cast<const Plan*>(argument);
    // A signal that ends a compile whose stack ran out needs a stack of its
    // own to be handled on.
    static char signalStack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = signalStack;
    alternate.ss_size = sizeof signalStack;
    sigaltstack(&alternate, nullptr);
    // A safety net far above the memory limit: a compile is judged by the
    // resident memory it took once it is done, but glibc's compiler can
    // fail badly when malloc() says no, so none should say no in the
    // ordinary course.
    const std::size_t data = dataSize();
    if (data > 0) {
        rlimit limit{};
        getrlimit(RLIMIT_DATA, &limit);
        const rlim_t wanted = static_cast<rlim_t>(data + 8 * plan.memoryLeft + (std::size_t{64} << 20));
        if (limit.rlim_cur == RLIM_INFINITY || wanted < limit.rlim_cur) {
            limit.rlim_cur = wanted;
            setrlimit(RLIMIT_DATA, &limit);
        }
    }
    // The kept rules, and each one's peak while it compiles, grow the
    // process's resident memory as they will the worker's.
    const std::size_t baseline = peakResident();
    nanoseconds spent{0};
    std::size_t held = 0;
    const std::vector<std::string>& patterns = *plan.patterns;
    for (std::size_t i = plan.first; i < patterns.size(); ++i) {
        Record record{};
        record.index = static_cast<std::uint32_t>(i);
        char text[1024] = {};
        const nanoseconds limit = std::min(plan.perRule, plan.timeLeft - spent);
        bool stop = false;
        if (limit <= nanoseconds(0)) {
            record.verdict = static_cast<std::uint32_t>(Verdict::OverBudget);
        } else {
            // A compile that runs over is stopped here: SIGPROF ends the
            // child, and the parent refuses the rule it was on.
            armTimer(limit);
            const std::size_t heapBefore = heapInUse();
            const nanoseconds start = cpuTime();
            regex_t regex;
            const int rc = regcomp(&regex, patterns[i].c_str(), plan.flags);
            const nanoseconds cpu = cpuTime() - start;
            itimerval off{};
            setitimer(ITIMER_PROF, &off, nullptr);
            const std::size_t heapAfter = heapInUse();
            const std::size_t memory = heapAfter > heapBefore ? heapAfter - heapBefore : 0;
            const std::size_t grown = peakResident() - std::min(baseline, peakResident());
            record.cpu = cpu.count();
            spent += cpu;
            if (rc == REG_ESPACE) {
                record.verdict = static_cast<std::uint32_t>(Verdict::TooLarge);
                stop = true;
            } else if (rc != 0) {
                record.error = rc;
                record.verdict = static_cast<std::uint32_t>(Verdict::Invalid);
                regerror(rc, &regex, text, sizeof text - 1);
            } else if (cpu > limit) {
                regfree(&regex);
                record.verdict = static_cast<std::uint32_t>(limit < plan.perRule ? Verdict::OverBudget : Verdict::TooSlow);
            } else if (held + memory > plan.memoryLeft || grown > plan.memoryLeft) {
                // What it would hold, or what it took at its peak (memory
                // the process had free counts for nothing there).
                regfree(&regex);
                record.verdict = static_cast<std::uint32_t>(Verdict::TooLarge);
                // The high-water mark stays where this rule took it: the
                // rules after it are checked in a new child.
                stop = grown > plan.memoryLeft;
            } else {
                // Kept, as the worker will keep it: the rules after it are
                // compiled beside it.
                record.memory = memory;
                held += memory;
                record.verdict = static_cast<std::uint32_t>(Verdict::Accepted);
            }
        }
        record.textLength = static_cast<std::uint32_t>(std::strlen(text));
        if (!writeAll(plan.fd, &record, sizeof record) || !writeAll(plan.fd, text, record.textLength) || stop)
            break;
    }
    return nullptr;
}

[[noreturn]] void runChild(Plan plan, std::size_t stack)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The server's own handlers (a crash reporter, the engine's time limit)
    // are not for this process: a signal ends it, and says which.
    childFd = plan.fd;
    struct sigaction ending {};
    ending.sa_handler = died;
    ending.sa_flags = SA_ONSTACK;
    sigfillset(&ending.sa_mask);
    for (int sig : {SIGPROF, SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGXCPU})
        sigaction(sig, &ending, nullptr);
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // What glibc prints when it aborts (a failed compile can corrupt its
    // heap) is not the server's to log: the parent says what happened.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
        ::dup2(null, STDERR_FILENO);
    else
        ::close(STDERR_FILENO);
    // The thread allocates from the main arena, as the worker does.
    mallopt(M_ARENA_MAX, 1);

    pthread_attr_t attributes;
    pthread_t thread;
    pthread_attr_init(&attributes);
    // Room for the thread's own data besides the compile's stack.
    pthread_attr_setstacksize(&attributes, stack + (std::size_t{64} << 10));
    if (pthread_create(&thread, &attributes, compileRules, &plan) != 0) {
        endStream(plan.fd, kNoThread);
        _exit(0);
    }
    pthread_join(thread, nullptr);
    endStream(plan.fd, kEnd);
    _exit(0);
}

// The stack a compile may use: at most a quarter of what the calling thread
// has left, so that what the child compiled the worker can compile too.
std::size_t stackAllowed(std::size_t wanted)
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return wanted;
    void* low = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (!known || here <= static_cast<const char*>(low))
        return wanted;
    const std::size_t left = static_cast<std::size_t>(here - static_cast<const char*>(low));
    return std::min(wanted, left / 4);
}

// Reads the child's records until it ends or the deadline passes.
Ending readRecords(int fd, Clock::time_point deadline, std::vector<ZUrlRuleCheck::Result>& results, nanoseconds& spent,
                   std::size_t& held, std::size_t& next, int& signal)
{
    std::string buffer;
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Ending::OutOfTime;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            return Ending::Died;
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return Ending::Died;
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t used = 0;
        Record record{};
        while (buffer.size() - used >= sizeof record) {
            std::memcpy(&record, buffer.data() + used, sizeof record);
            if (record.index == kEnd || record.index == kNoThread)
                return record.index == kEnd ? Ending::Stopped : Ending::NoThread;
            if (record.index == kDied) {
                signal = record.error;
                return Ending::Died;
            }
            if (buffer.size() - used < sizeof record + record.textLength)
                break;
            if (record.index < results.size() && record.index == next) {
                ZUrlRuleCheck::Result& result = results[record.index];
                result.verdict = static_cast<Verdict>(record.verdict);
                result.error = record.error;
                result.errorText.assign(buffer.data() + used + sizeof record, record.textLength);
                result.cpu = nanoseconds(record.cpu);
                result.memory = static_cast<std::size_t>(record.memory);
                result.cpuBefore = spent;
                result.memoryBefore = held;
                spent += result.cpu;
                held += result.memory;
                ++next;
            }
            used += sizeof record + record.textLength;
        }
        buffer.erase(0, used);
    }
}

void refuseRest(std::vector<ZUrlRuleCheck::Result>& results, std::size_t from, Verdict verdict, nanoseconds spent,
                std::size_t held)
{
    for (std::size_t i = from; i < results.size(); ++i) {
        results[i].verdict = verdict;
        results[i].cpuBefore = spent;
        results[i].memoryBefore = held;
    }
}

std::string msText(nanoseconds time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.0f ms", static_cast<double>(time.count()) / 1e6);
    return text;
}

std::string mbText(std::size_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

} // namespace

std::vector<ZUrlRuleCheck::Result> ZUrlRuleCheck::check(const std::vector<std::string>& patterns, int flags,
                                                        const Limits& limits, std::string* failure)
{
    std::vector<Result> results(patterns.size());
    const Clock::time_point deadline = Clock::now() + limits.wall;
    const std::size_t stack = stackAllowed(limits.stack);
    nanoseconds spent{0};
    std::size_t held = 0;
    std::size_t next = 0;
    while (next < patterns.size()) {
        if (spent >= limits.total) {
            refuseRest(results, next, Verdict::OverBudget, spent, held);
            break;
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            if (failure != nullptr)
                *failure = std::string("pipe: ") + std::strerror(errno);
            refuseRest(results, next, Verdict::NotChecked, spent, held);
            break;
        }
        const Plan plan{&patterns, next, flags, fds[1], limits.perRule, limits.total - spent,
                        held < limits.memory ? limits.memory - held : 0};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            runChild(plan, stack);
        }
        const int forkError = errno;
        ::close(fds[1]);
        if (child < 0) {
            ::close(fds[0]);
            if (failure != nullptr)
                *failure = std::string("fork: ") + std::strerror(forkError);
            refuseRest(results, next, Verdict::NotChecked, spent, held);
            break;
        }
        const std::size_t first = next;
        int signal = 0;
        const Ending ending = readRecords(fds[0], deadline, results, spent, held, next, signal);
        ::close(fds[0]);
        // Only a child still holding its end of the pipe is killed: one that
        // ended may already be reaped (SIGCHLD ignored), its id free for
        // another process.
        if (ending == Ending::OutOfTime)
            ::kill(child, SIGKILL);
        int status = 0;
        pid_t waited;
        do
            waited = ::waitpid(child, &status, 0);
        while (waited < 0 && errno == EINTR);
        if (ending == Ending::OutOfTime || ending == Ending::NoThread) {
            if (failure != nullptr)
                *failure = ending == Ending::OutOfTime ? "the check ran out of its " + msText(limits.wall) + " of time"
                                                       : "the checking process could not start its thread";
            refuseRest(results, next, Verdict::NotChecked, spent, held);
            break;
        }
        // Done, or stopped after a rule that took the memory's high-water
        // mark past the limit: the next child starts from the worker's level.
        if ((ending == Ending::Stopped && next > first) || next >= patterns.size())
            continue;
        // The child ended on the rule it was compiling.
        if (signal == 0 && waited == child && WIFSIGNALED(status))
            signal = WTERMSIG(status);
        const nanoseconds limit = std::min(limits.perRule, limits.total - spent);
        Result& result = results[next];
        result.signal = signal;
        result.cpuBefore = spent;
        result.memoryBefore = held;
        if (signal == SIGPROF || signal == SIGXCPU)
            result.verdict = limit < limits.perRule ? Verdict::OverBudget : Verdict::TooSlow;
        else
            result.verdict = Verdict::CompilerFailed;
        spent += limit;
        ++next;
    }
    return results;
}

std::string ZUrlRuleCheck::reason(const Result& result, const Limits& limits)
{
    switch (result.verdict) {
    case Verdict::Accepted:
        return {};
    case Verdict::Invalid:
        return result.errorText;
    case Verdict::TooSlow:
        return "Compiling it takes more than " + msText(limits.perRule) +
               " of CPU time, the most one rule may take (every worker compiles every rule)";
    case Verdict::OverBudget:
        return "Compiling it would take the URL rules past the " + msText(limits.total) +
               " of CPU time they may take together at start-up (the rules before it took " +
               msText(result.cpuBefore) + ")";
    case Verdict::TooLarge:
        return "Compiling it would take the URL rules past the " + mbText(limits.memory) +
               " of memory they may use together (the rules before it hold " + mbText(result.memoryBefore) + ")";
    case Verdict::CompilerFailed:
        return "The C library's compiler failed on it (signal " + std::to_string(result.signal) +
               "): it ran out of the stack or the memory a rule may use (nested too deep, or a chain of "
               "optional items too long)";
    case Verdict::NotChecked:
        break;
    }
    return "Its compile cost could not be checked";
}
