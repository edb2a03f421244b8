#include "extension/url/ZNamedSemaphore.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <sched.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// Failures that say what is at the semaphore's name, and so stay until
// somebody changes it: something that is no file of ours (a directory, a
// link, a device) or a file this process may not use.
bool lasting(int err)
{
    return err == EISDIR || err == ELOOP || err == ENXIO || err == ENODEV || err == EACCES || err == EPERM;
}

// Why the file behind the semaphore's name is not one that sem_open of this
// user would have made; empty when it is. Mapping anything else could raise
// SIGBUS (a short file) or hand the futex garbage (a file a stranger writes).
std::string untrustedReason(const struct stat& st)
{
    const std::string owner = "owned by uid " + std::to_string(static_cast<unsigned long>(st.st_uid));
    if (!S_ISREG(st.st_mode))
        return "it is not a regular file (" + owner + ")";
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "it is " + owner + ", neither this process's user (uid "
               + std::to_string(static_cast<unsigned long>(geteuid())) + ") nor root";
    if (st.st_size != static_cast<off_t>(sizeof(sem_t)))
        return "it is " + std::to_string(static_cast<long long>(st.st_size)) + " bytes long, not "
               + std::to_string(sizeof(sem_t)) + " (" + owner + ")";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("other users than its owner may write it (mode ") + mode + ", " + owner + ")";
    }
    return std::string();
}

} // namespace

ZNamedSemaphore::Error::Error(std::string text, int systemError, bool lasting)
    : boost::interprocess::interprocess_exception(boost::interprocess::error_info(systemError)),
      text(std::move(text)),
      lastingFailure(lasting)
{
}

std::string ZNamedSemaphore::posixNameOf(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    return "/" + name;
}

std::string ZNamedSemaphore::filePathOf(const std::string& name)
{
    return "/dev/shm/sem." + posixNameOf(name).substr(1);
}

ZNamedSemaphore::Error ZNamedSemaphore::failure(const char* what, int err) const
{
    return Error("Semaphore " + posixName + " (" + filePath + ") " + what + ": " + std::strerror(err), err,
                 lasting(err));
}

ZNamedSemaphore::ZNamedSemaphore(const std::string& name, VornLog* log,
                                 std::chrono::milliseconds waitLimit,
                                 std::chrono::milliseconds backoff)
    : posixName(posixNameOf(name)), filePath(filePathOf(name)), log(log), limit(waitLimit), backoff(backoff)
{
    // The loop is bounded so that a name flickering for ever cannot hold the
    // request.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (openOnce())
            return;
    }
    throw failure("cannot be opened", ENOENT);
}

bool ZNamedSemaphore::openOnce()
{
    // Exclusive creation first so that concurrent first requests of several
    // workers end with one semaphore; when it exists, open it.
    bool created = true;
    sem_t* opened = sem_open(posixName.c_str(), O_CREAT | O_EXCL, 0644, 1u);
    if (opened == SEM_FAILED) {
        if (errno != EEXIST)
            throw failure("cannot be created", errno);
        created = false;
    }
    auto giveUp = [&](int file) {
        if (file >= 0)
            ::close(file);
        if (opened != SEM_FAILED)
            sem_close(opened);
    };
    // The file is looked at through a descriptor of its own before anything
    // maps it, without blocking (a FIFO there) and without following a link.
    const vorn::RegularFile checked = vorn::openRegularFile(filePath, O_RDWR | O_NOFOLLOW);
    const int file = checked.fd;
    if (file < 0 && !checked.notRegular) {
        giveUp(-1);
        if (checked.error == ENOENT)
            return false; // removed meanwhile (a start-up cleaning up)
        throw failure("cannot be opened", checked.error);
    }
    const struct stat& st = checked.st;
    const std::string why = untrustedReason(st);
    if (!why.empty()) {
        giveUp(file);
        throw Error("Semaphore " + posixName + " is not used: " + filePath + " cannot be trusted, " + why, EPERM,
                    true);
    }
    if (!created) {
        opened = sem_open(posixName.c_str(), 0);
        if (opened == SEM_FAILED) {
            const int err = errno;
            giveUp(file);
            if (err == ENOENT)
                return false;
            throw failure("cannot be opened", err);
        }
        // The name must still lead to the file that was checked. Only its
        // owner, this user or root, can have replaced it since.
        struct stat now{};
        if (::stat(filePath.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            giveUp(file);
            return false;
        }
    }
    sem = opened;
    fd = file;
    inode = st.st_ino;
    device = st.st_dev;
    openedIn = vorn::getProcessID();
    return true;
}

ZNamedSemaphore::~ZNamedSemaphore()
{
    if (sem != SEM_FAILED)
        sem_close(sem);
    if (fd >= 0)
        ::close(fd);
}

bool ZNamedSemaphore::lockHolder(std::chrono::steady_clock::time_point deadline)
{
    struct flock range{};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    // The lock is held for microseconds: spin a little, then sleep in steps
    // that grow to a millisecond, up to the deadline.
    const auto started = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &range) == 0)
            return true;
        const int err = errno;
        if (err != EAGAIN && err != EACCES && err != EINTR)
            throw failure("cannot be locked", err);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        if (now - started < std::chrono::microseconds(50)) {
            sched_yield();
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        const auto nap = std::min(pause, left);
        timespec ts{static_cast<time_t>(nap.count() / 1000000), static_cast<long>((nap.count() % 1000000) * 1000)};
        ::nanosleep(&ts, nullptr);  // a signal only shortens the nap
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
}

void ZNamedSemaphore::unlockHolder() noexcept
{
    struct flock range{};
    range.l_type = F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    ::fcntl(fd, F_OFD_SETLK, &range);
}

void ZNamedSemaphore::useOwnDescriptor()
{
    const pid_t self = vorn::getProcessID();
    if (self == openedIn)
        return;
    // A forked child shares the parent's open file, and so its lock: it takes
    // one of its own, on the file that was checked.
    ::close(fd);
    const vorn::RegularFile own = vorn::openRegularFile(filePath, O_RDWR | O_NOFOLLOW);
    fd = own.fd;
    if (fd < 0 && !own.notRegular)
        throw failure("cannot be opened", own.error);
    if (fd < 0 || own.st.st_ino != inode || own.st.st_dev != device)
        throw Error("Semaphore " + posixName + " (" + filePath + ") was replaced", ESTALE, true);
    openedIn = self;
    holding = false;
}

bool ZNamedSemaphore::wait()
{
    if (holding) {
        // Nested use would wait for itself.
        if (log)
            log->logError(L"Semaphore", posixName.c_str(), L"is already held by this process; not taken twice.");
        return false;
    }
    useOwnDescriptor();
    const auto now = std::chrono::steady_clock::now();
    const bool tryOnly = backingOff && now < backoffEnd;
    if (!lockHolder(tryOnly ? now : now + limit)) {
        if (tryOnly) {
            if (log)
                log->logDbg1(L"Semaphore", posixName.c_str(),
                             L"is still taken after an earlier time-out; the URL table is not used for this operation.");
        } else {
            if (log)
                log->logError(L"Timed out waiting for semaphore", posixName.c_str(), L"after",
                              static_cast<long>(limit.count()),
                              L"ms; a running process holds it. The URL table is not used for this operation.");
            backingOff = true;
            backoffEnd = std::chrono::steady_clock::now() + backoff;
        }
        return false;
    }
    backingOff = false;

    // Every holder takes the lock on the file first and posts the semaphore
    // before it lets the lock go, and the kernel lets the lock go when its
    // holder ends. So with the lock in hand the semaphore is free, or was
    // left taken by a process that ended inside its critical section (or by
    // one that takes the semaphore without the lock: it gets the limit to
    // post it). Such a semaphore is taken over rather than left taken until
    // the server restarts.
    const timespec deadline = deadlineAfter(limit);
    for (;;) {
        if (sem_timedwait(sem, &deadline) == 0)
            break;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == ETIMEDOUT) {
            if (log)
                log->logWarning(L"Semaphore", posixName.c_str(),
                                L"was left taken by a process that ended while it held it; taken over.");
            break;
        }
        unlockHolder();
        throw failure("cannot be waited for", err);
    }
    holding = true;
    return true;
}

bool ZNamedSemaphore::post() noexcept
{
    // The semaphore first, then the lock: whoever gets the lock next finds
    // the semaphore free.
    bool posted = sem_post(sem) == 0;
    const int err = errno;
    unlockHolder();
    holding = false;
    if (!posted && log) {
        try {
            log->logError(L"Failed to release semaphore", posixName.c_str(), L":", std::strerror(err));
        } catch (...) {
            // Reporting must not end the worker.
        }
    }
    return posted;
}

void ZNamedSemaphore::remove(const std::string& name) noexcept
{
    try {
        sem_unlink(posixNameOf(name).c_str());
    } catch (...) {
    }
}
