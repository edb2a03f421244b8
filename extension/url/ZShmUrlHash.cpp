#include "extension/url/ZShmUrlHash.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/url/ZUrlTableValidator.h"

#include <cstdio>
#include <sstream>
#include <unistd.h>

ZShmUrlHash::ZSemLocker::ZSemLocker(const std::shared_ptr<ZNamedSemaphore>& handle)
    : semaphore(handle)
{
    if (semaphore)
        held = semaphore->wait();
}

ZShmUrlHash::ZSemLocker::~ZSemLocker()
{
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
    const std::string filePath = dir + "/zshm_" + name;
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

unsigned long ZShmUrlHash::sizeUnlocked() const
{
    if (!attached)
        return 0;
    const long n = table.size();
    return n > 0 ? static_cast<unsigned long>(n) : 0;
}

bool ZShmUrlHash::valueUnlocked(const std::string& key, long& out) const
{
    if (!attached)
        return false;
    std::string text;
    if (!table.value(key, text))
        return false;
    std::istringstream in(text);
    in >> out;
    return true;
}

void ZShmUrlHash::updateUnlocked(const std::string& key, long value)
{
    if (!attached)
        return;
    // Nothing is stored under an empty key, and it is refused before the table
    // allocates anything for it: an entry that cannot be completed would keep
    // its space for ever.
    if (key.empty()) {
        if (log)
            log->logDbg1(L"Empty URL is not stored in shared memory");
        return;
    }
    std::ostringstream text;
    text << value;
    table.insert(key, text.str());
}

// As valueUnlocked, without reading the number: the same checks of the
// stored entry decide, but no text is copied or parsed.
bool ZShmUrlHash::containsUnlocked(const std::string& key) const
{
    if (!attached)
        return false;
    void* data = nullptr;
    int length = 0;
    return table.value(key, &data, length);
}

unsigned long ZShmUrlHash::size(bool lock) const
{
    if (!lock)
        return sizeUnlocked();
    ZSemLocker locker(semaphore);
    return locker.owns() ? sizeUnlocked() : 0;
}

bool ZShmUrlHash::value(const std::wstring& uri, long& out, bool lock) const
{
    const std::string key = vorn::fromUtf(uri);
    if (!lock)
        return valueUnlocked(key, out);
    ZSemLocker locker(semaphore);
    return locker.owns() && valueUnlocked(key, out);
}

bool ZShmUrlHash::contains(const std::wstring& uri, bool lock) const
{
    const std::string key = vorn::fromUtf(uri);
    if (!lock)
        return containsUnlocked(key);
    ZSemLocker locker(semaphore);
    return locker.owns() && containsUnlocked(key);
}

void ZShmUrlHash::update(const std::wstring& uri, long value, bool lock)
{
    const std::string key = vorn::fromUtf(uri);
    if (!lock) {
        updateUnlocked(key, value);
        return;
    }
    ZSemLocker locker(semaphore);
    if (locker.owns())
        updateUnlocked(key, value);
}

void ZShmUrlHash::destroy(const std::string& name, const std::string& dir)
{
    const std::string path = dir + "/zshm_" + name;
    ::unlink(path.c_str());
    std::remove(path.c_str());
}
