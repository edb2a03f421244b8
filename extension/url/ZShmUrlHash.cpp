#include "extension/url/ZShmUrlHash.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/url/ZUrlTableValidator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The descriptor of the lock file that this process holds shared, and the
// file it is for; -1 when none. A fork inherits it together with the lock
// (the lock belongs to the open file, which parent and child share).
int inUseLock = -1;
std::string inUsePath;

int openLockFile(const std::string& path)
{
    // Workers may run as another user than the process that made the file:
    // reading is enough to lock it.
    // Never blocking on, nor locking, anything but a regular file: a FIFO
    // or device in its place must not hang the start-up.
    const int flags = O_NOFOLLOW | O_NOCTTY;
    vorn::RegularFile file = vorn::openRegularFile(path, O_RDWR | O_CREAT | flags, 0644);
    if (file.fd < 0 && !file.notRegular)
        file = vorn::openRegularFile(path, O_RDONLY | flags);
    return file.fd;
}

int lockFile(int fd, int operation)
{
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Keeps `fd`, locked shared, as this process's lock on `path`.
void keepShared(int fd, const std::string& path)
{
    if (lockFile(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    if (inUseLock >= 0)
        ::close(inUseLock);
    inUseLock = fd;
    inUsePath = path;
}

} // namespace

ZShmUrlHash::ZSemLocker::ZSemLocker(const std::shared_ptr<ZNamedSemaphore>& handle)
    : semaphore(handle)
{
    if (semaphore)
        held = semaphore->wait();
}

ZShmUrlHash::ZSemLocker::ZSemLocker(const ZShmUrlHash& table) : ZSemLocker(table.semaphore)
{
    if (owns()) {
        table.mappingChecked = false;
        table.mappingChecked = table.mappingUsable();
        checked = &table;
    }
}

ZShmUrlHash::ZSemLocker::~ZSemLocker()
{
    if (checked != nullptr)
        checked->mappingChecked = false;
    if (semaphore && held)
        semaphore->post();
}

ZShmUrlHash::ZShmUrlHash() = default;

ZShmUrlHash::~ZShmUrlHash() = default;

bool ZShmUrlHash::open(VornLog& log, const std::string& name, const std::string& dir, unsigned long size)
{
    this->log = &log;
    ZSemLocker locker(semaphore);
    const std::wstring display = vorn::toUtf(dir + "/" + name);
    if (!locker.owns()) {
        log.logError(L"Failed to open shared memory:", display, L".", L"The table's semaphore could not be taken.");
        return false;
    }
    if (attached)
        return true;

    log.logDbg1(L"Opening shared memory", display, L"...");

    // A file left by a process that died while creating it, or damaged
    // otherwise, is not used: its links would lead outside the mapping.
    filePath = dir + "/zshm_" + name;
    std::string reason;
    const ZUrlTableValidator::Result state = ZUrlTableValidator::check(filePath, reason);
    if (state == ZUrlTableValidator::Result::Corrupt) {
        log.logError(L"Shared memory is damaged and is not used:", display, L".", reason.c_str());
        return true;
    }

    if (table.attach(name, dir)) {
        attached = true;
        log.logDbg1(L"Opening shared memory", display, L"... done");
        return true;
    }
    log.logDbg1(L"Failed to attach shared memory:", display, L".", table.errorString().c_str());

    if (table.create(name, dir, size)) {
        attached = true;
        log.logDbg1(L"Opening shared memory", display, L"... done");
        return true;
    }
    log.logError(L"Failed to create shared memory:", display, L".", table.errorString().c_str());
    return true;
}

bool ZShmUrlHash::mappingUsable() const
{
    if (!attached)
        return false;
    if (mappingChecked)
        return true;
    long long length = 0;
    if (table.fileCoversMapping(length))
        return true;
    if (log)
        log->logError(L"URL table", VornLog::untrusted(filePath), L"was cut to", length, L"bytes while",
                      static_cast<unsigned long>(table.mappedLength()),
                      L"were mapped: it is damaged and no longer used by this process.");
    table.close();
    attached = false;
    return false;
}

unsigned long ZShmUrlHash::sizeUnlocked() const
{
    if (!mappingUsable())
        return 0;
    const long n = table.size();
    return n > 0 ? static_cast<unsigned long>(n) : 0;
}

bool ZShmUrlHash::valueUnlocked(const std::string& key, long& out) const
{
    if (!mappingUsable())
        return false;
    std::string text;
    if (!table.value(key, text))
        return false;
    // The table is shared with every worker and lies in a file: a value that
    // is not a whole number reads as 0 (never sampled) and says so; the
    // update that follows sampling writes a sound value over it.
    const bool number = !text.empty() && (text[0] == '-' || (text[0] >= '0' && text[0] <= '9'));
    char* end = nullptr;
    errno = 0;
    const long read = number ? std::strtol(text.c_str(), &end, 10) : 0;
    if (!number || errno != 0 || end != text.c_str() + text.size()) {
        if (log)
            log->logWarning("Damaged value in the URL table for", VornLog::untrusted(key), "taken as 0");
        out = 0;
        return true;
    }
    out = read;
    return true;
}

ZShmUrlHash::Added ZShmUrlHash::updateUnlocked(const std::string& key, long value)
{
    if (!mappingUsable())
        return Added::NotStored;
    // Nothing is stored under an empty key, and it is refused before the table
    // allocates anything for it: an entry that cannot be completed would keep
    // its space for ever.
    if (key.empty()) {
        if (log)
            log->logDbg1(L"Empty URL is not stored in shared memory");
        return Added::NotStored;
    }
    if (key.size() > MAX_KEY_BYTES) {
        if (log)
            log->logDbg1(L"URL longer than", static_cast<unsigned long>(MAX_KEY_BYTES),
                         L"bytes is not stored in shared memory");
        return Added::NotStored;
    }
    if (table.insert(key, std::to_string(value)))
        return Added::Stored;
    return table.lackedRoom() ? Added::NoRoom : Added::NotStored;
}

// As valueUnlocked, without reading the number: the same checks of the
// stored entry decide, but no text is copied or parsed.
bool ZShmUrlHash::containsUnlocked(const std::string& key) const
{
    if (!mappingUsable())
        return false;
    void* data = nullptr;
    int length = 0;
    return table.value(key, &data, length);
}

unsigned long ZShmUrlHash::size(bool lock) const
{
    if (!lock)
        return sizeUnlocked();
    ZSemLocker locker(*this);
    return locker.owns() ? sizeUnlocked() : 0;
}

bool ZShmUrlHash::value(const std::wstring& uri, long& out, bool lock) const
{
    return valueKey(vorn::fromUtf(uri), out, lock);
}

bool ZShmUrlHash::valueKey(const std::string& key, long& out, bool lock) const
{
    if (!lock)
        return valueUnlocked(key, out);
    ZSemLocker locker(*this);
    return locker.owns() && valueUnlocked(key, out);
}

bool ZShmUrlHash::contains(const std::wstring& uri, bool lock) const
{
    return containsKey(vorn::fromUtf(uri), lock);
}

bool ZShmUrlHash::containsKey(const std::string& key, bool lock) const
{
    if (!lock)
        return containsUnlocked(key);
    ZSemLocker locker(*this);
    return locker.owns() && containsUnlocked(key);
}

void ZShmUrlHash::update(const std::wstring& uri, long value, bool lock)
{
    updateKey(vorn::fromUtf(uri), value, lock);
}

ZShmUrlHash::Added ZShmUrlHash::updateKey(const std::string& key, long value, bool lock)
{
    if (!lock)
        return updateUnlocked(key, value);
    ZSemLocker locker(*this);
    return locker.owns() ? updateUnlocked(key, value) : Added::NotStored;
}

void ZShmUrlHash::destroy(const std::string& name, const std::string& dir)
{
    const std::string path = dir + "/zshm_" + name;
    ::unlink(path.c_str());
    std::remove(path.c_str());
}

std::string ZShmUrlHash::lockPath(const std::string& name, const std::string& dir)
{
    return dir + "/zshm_" + name + ".lock";
}

bool ZShmUrlHash::removeLeftoversUnlessInUse(const std::string& name, const std::string& dir,
                                             const std::string& semaphoreName)
{
    const std::string path = lockPath(name, dir);
    const int fd = openLockFile(path);
    if (fd < 0)
        return false;
    bool removed = false;
    if (lockFile(fd, LOCK_EX | LOCK_NB) == 0) {
        ZNamedSemaphore::remove(semaphoreName);
        destroy(name, dir);
        removed = true;
    }
    // From exclusive to shared, or, when another process holds it, shared
    // beside it.
    keepShared(fd, path);
    return removed;
}

void ZShmUrlHash::holdInUse(const std::string& name, const std::string& dir)
{
    const std::string path = lockPath(name, dir);
    if (inUseLock >= 0 && inUsePath == path)
        return;
    const int fd = openLockFile(path);
    if (fd >= 0)
        keepShared(fd, path);
}
