#include "extension/url/ZNamedSemaphore.h"

#include "common/VornLog.h"

#include <boost/interprocess/exceptions.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>

namespace {

[[noreturn]] void raiseSystemError(int err)
{
    throw boost::interprocess::interprocess_exception(boost::interprocess::error_info(err));
}

timespec deadlineAfter(std::chrono::milliseconds limit)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const long long ms = limit.count() < 0 ? 0 : static_cast<long long>(limit.count());
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>((ms % 1000) * 1000000L);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

} // namespace

std::string ZNamedSemaphore::posixNameOf(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    return "/" + name;
}

ZNamedSemaphore::ZNamedSemaphore(const std::string& name, VornLog* log,
                                 std::chrono::milliseconds waitLimit,
                                 std::chrono::milliseconds backoff)
    : posixName(posixNameOf(name)), log(log), limit(waitLimit), backoff(backoff)
{
    // Exclusive creation first so that concurrent first requests of several
    // workers end with one semaphore; when it exists, open it; when it vanished
    // in between (a module start-up removing it), start again. The loop is
    // bounded so that a name flickering for ever cannot hold the request.
    for (int attempt = 0; attempt < 100; ++attempt) {
        sem = sem_open(posixName.c_str(), O_CREAT | O_EXCL, 0644, 1u);
        if (sem != SEM_FAILED)
            return;
        if (errno != EEXIST)
            raiseSystemError(errno);
        sem = sem_open(posixName.c_str(), 0);
        if (sem != SEM_FAILED)
            return;
        if (errno != ENOENT)
            raiseSystemError(errno);
    }
    raiseSystemError(ENOENT);
}

ZNamedSemaphore::~ZNamedSemaphore()
{
    if (sem != SEM_FAILED)
        sem_close(sem);
}

bool ZNamedSemaphore::wait()
{
    if (backingOff) {
        if (std::chrono::steady_clock::now() < backoffEnd) {
            if (sem_trywait(sem) == 0) {
                backingOff = false;
                return true;
            }
            const int err = errno;
            if (err != EAGAIN && err != EINTR)
                raiseSystemError(err);
            if (log)
                log->logDbg1(L"Semaphore", posixName.c_str(),
                             L"is still taken after an earlier time-out; the URL table is not used for this operation.");
            return false;
        }
        backingOff = false;
    }
    // The deadline is absolute, so interruptions by signals retry towards the
    // same end instead of starting the wait again.
    const timespec deadline = deadlineAfter(limit);
    for (;;) {
        if (sem_timedwait(sem, &deadline) == 0)
            return true;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == ETIMEDOUT) {
            if (log)
                log->logError(L"Timed out waiting for semaphore", posixName.c_str(),
                           L"after", static_cast<long>(limit.count()),
                           L"ms; it may be held by a process that ended. The URL table is not used for this operation.");
            backingOff = true;
            backoffEnd = std::chrono::steady_clock::now() + backoff;
            return false;
        }
        raiseSystemError(err);
    }
}

bool ZNamedSemaphore::post() noexcept
{
    if (sem_post(sem) == 0)
        return true;
    const int err = errno;
    if (log) {
        try {
            log->logError(L"Failed to release semaphore", posixName.c_str(), L":",
                       std::strerror(err));
        } catch (...) {
            // Reporting must not end the worker.
        }
    }
    return false;
}

void ZNamedSemaphore::remove(const std::string& name) noexcept
{
    try {
        sem_unlink(posixNameOf(name).c_str());
    } catch (...) {
    }
}
