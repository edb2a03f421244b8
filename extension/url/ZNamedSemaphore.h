#pragma once

#include <chrono>
#include <string>

#include <semaphore.h>

class VornLog;

// A POSIX named semaphore shared by every worker of the machine, used as a
// cross-process mutex (initial value 1). Waiting is bounded: a worker killed
// while holding it (request time-out, OOM killer) must not block every other
// worker for ever, so a wait gives up after `waitLimit`, logs an ERROR and the
// caller treats its operation as failed. Such a semaphore stays taken until the
// next module start-up removes it, so after a time-out the worker only tries it
// (no waiting) for `backoff`: a dead holder then costs each worker one wait per
// back-off period instead of one per table operation. A successful try ends the
// back-off early.
class ZNamedSemaphore {
public:
    // Opens `name` (a "/" is put in front when missing), creating it exclusively
    // with permissions 0644 and value 1 when it does not exist. A name removed
    // between the two attempts is tried again. Any other failure raises
    // boost::interprocess::interprocess_exception with the system error number.
    // `log` (may be null) receives the wait and post failures; it must outlive
    // this object.
    ZNamedSemaphore(const std::string& name, VornLog* log,
                    std::chrono::milliseconds waitLimit = defaultWaitLimit(),
                    std::chrono::milliseconds backoff = defaultBackoff());
    ~ZNamedSemaphore();

    ZNamedSemaphore(const ZNamedSemaphore&) = delete;
    ZNamedSemaphore& operator=(const ZNamedSemaphore&) = delete;

    // Decrements the semaphore, waiting at most the wait limit (a signal does not
    // end the wait early). True when taken. False on time-out, after one ERROR
    // line. Within the back-off period after a time-out it only tries: false at
    // once (one DBG1 line) while the semaphore is taken. Other failures raise
    // boost::interprocess::interprocess_exception.
    bool wait();

    // Increments the semaphore. Never throws; a failure is logged and false.
    bool post() noexcept;

    const std::string& name() const { return posixName; }
    std::chrono::milliseconds waitLimit() const { return limit; }

    // Removes the name (with "/" put in front when missing); errors are ignored.
    static void remove(const std::string& name) noexcept;

    // The POSIX form of a name: "/" in front unless it already begins with one.
    static std::string posixNameOf(const std::string& name);

    static std::chrono::milliseconds defaultWaitLimit() { return std::chrono::milliseconds(1000); }
    static std::chrono::milliseconds defaultBackoff() { return std::chrono::milliseconds(30000); }

private:
    sem_t* sem = SEM_FAILED;
    std::string posixName;
    VornLog* log;
    std::chrono::milliseconds limit;
    std::chrono::milliseconds backoff;
    bool backingOff = false;
    std::chrono::steady_clock::time_point backoffEnd;
};
