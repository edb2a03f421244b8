#pragma once

#include <chrono>
#include <string>

#include <semaphore.h>
#include <sys/types.h>

#include <boost/interprocess/exceptions.hpp>

class VornLog;

// A POSIX named semaphore shared by every worker of the machine, used as a
// cross-process mutex (initial value 1).
//
// A semaphore does not know its holder: one left taken by a worker that was
// killed inside its critical section (SIGKILL, the OOM killer) would stay
// taken until the server restarts. So every holder also holds a lock on the
// semaphore's file, which the kernel releases when the holder ends. A worker
// that gets that lock and still finds the semaphore taken after the wait
// limit knows its holder is gone, logs a WARNING and takes it over.
//
// Waiting is bounded: a worker stopped while holding it must not block every
// other worker for ever, so a wait gives up after `waitLimit`, logs an ERROR
// and the caller treats its operation as failed; after such a time-out the
// worker only tries it (no waiting) for `backoff`, so that a stuck holder
// costs each worker one wait per back-off period instead of one per table
// operation. A successful try ends the back-off early.
//
// The semaphore lives in a file of /dev/shm that any local user could have
// made before us. It is used only when that file is what sem_open would have
// made: a regular file of exactly one sem_t, owned by this process's user or
// by root and writable by nobody else. In the sticky /dev/shm nobody else can
// then replace it.
class ZNamedSemaphore {
public:
    // A semaphore that cannot be opened, or whose file cannot be trusted;
    // what() names the semaphore and its file and says why.
    class Error : public boost::interprocess::interprocess_exception {
    public:
        Error(std::string text, int systemError, bool lasting);
        const char* what() const noexcept override { return text.c_str(); }
        // True when trying again cannot help while the file stays as it is:
        // the file is not a semaphore of ours, or this process may not use it.
        bool lasting() const { return lastingFailure; }

    private:
        std::string text;
        bool lastingFailure;
    };

    // Opens `name` (a "/" is put in front when missing), creating it exclusively
    // with permissions 0644 and value 1 when it does not exist. A name removed
    // between the attempts is tried again. Raises Error for any other failure
    // and for a file that cannot be trusted. `log` (may be null) receives the
    // wait and post failures; it must outlive this object.
    ZNamedSemaphore(const std::string& name, VornLog* log,
                    std::chrono::milliseconds waitLimit = defaultWaitLimit(),
                    std::chrono::milliseconds backoff = defaultBackoff());
    ~ZNamedSemaphore();

    ZNamedSemaphore(const ZNamedSemaphore&) = delete;
    ZNamedSemaphore& operator=(const ZNamedSemaphore&) = delete;

    // Takes the holder's lock, waiting at most the wait limit (a signal does
    // not end the wait early), then decrements the semaphore, waiting at most
    // the limit again before taking over one whose holder ended. True when
    // taken. False when the lock's wait timed out (a live process holds it),
    // after one ERROR line, or when this handle holds it already. Within the
    // back-off period after a time-out it only tries: false at once (one DBG1
    // line) while the lock is held. Other failures raise Error.
    bool wait();

    // Increments the semaphore, then lets the holder's lock go. Never throws;
    // a failure is logged and false.
    bool post() noexcept;

    const std::string& name() const { return posixName; }
    // The file behind the name, as glibc keeps it.
    const std::string& path() const { return filePath; }
    std::chrono::milliseconds waitLimit() const { return limit; }

    // Removes the name (with "/" put in front when missing); errors are ignored.
    static void remove(const std::string& name) noexcept;

    // The POSIX form of a name: "/" in front unless it already begins with one.
    static std::string posixNameOf(const std::string& name);
    // The file of a POSIX name: "/dev/shm/sem." and the name without its "/".
    static std::string filePathOf(const std::string& name);

    static std::chrono::milliseconds defaultWaitLimit() { return std::chrono::milliseconds(1000); }
    static std::chrono::milliseconds defaultBackoff() { return std::chrono::milliseconds(30000); }

private:
    // One attempt at opening; false when the name vanished meanwhile.
    bool openOnce();
    Error failure(const char* what, int err) const;
    // The holder's lock: a write lock on the first byte of the semaphore's
    // file, through this process's own open file, so that the kernel lets it
    // go when the process ends however it ends.
    bool lockHolder(std::chrono::steady_clock::time_point deadline);
    void unlockHolder() noexcept;
    void useOwnDescriptor();

    sem_t* sem = SEM_FAILED;
    int fd = -1;  // the file behind the name, checked before it was mapped
    ino_t inode = 0;
    dev_t device = 0;
    pid_t openedIn = 0;  // the process `fd` was opened by
    bool holding = false;
    std::string posixName;
    std::string filePath;
    VornLog* log;
    std::chrono::milliseconds limit;
    std::chrono::milliseconds backoff;
    bool backingOff = false;
    std::chrono::steady_clock::time_point backoffEnd;
};
