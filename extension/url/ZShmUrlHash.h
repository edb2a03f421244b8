#pragma once

#include "common/ZMMapHash.h"
#include "extension/url/ZNamedSemaphore.h"

#include <memory>
#include <string>

class VornLog;

// The URL table shared by every PHP worker of the machine: one number per
// collapsed request path (the last cross-VM sample time, 0 when never
// sampled), kept in a shared-file string hash and guarded by one named
// semaphore. Keys are given as wide text and stored as UTF-8; numbers are
// stored as decimal text.
//
// Each operation with `lock` true takes the semaphore for itself; with `lock`
// false it runs unlocked, for a caller that already holds the semaphore through
// a ZSemLocker of its own (the semaphore is not recursive). Without a semaphore
// every operation runs unlocked. When the bounded wait for the semaphore times
// out, the operation does nothing and answers as for an empty table.
class ZShmUrlHash {
public:
    // Holds the table's semaphore for the lifetime of the locker.
    class ZSemLocker {
    public:
        // Waits (bounded) on the semaphore when there is one. A time-out leaves
        // the locker without the semaphore (owns() false, already logged); other
        // wait failures raise boost::interprocess::interprocess_exception.
        explicit ZSemLocker(const std::shared_ptr<ZNamedSemaphore>& semaphore);
        // The same on the table's semaphore; once held, the table's mapping is
        // checked once for the whole hold rather than at every operation.
        explicit ZSemLocker(const ZShmUrlHash& table);
        // Posts the semaphore when this locker took it. Never throws.
        ~ZSemLocker();

        ZSemLocker(const ZSemLocker&) = delete;
        ZSemLocker& operator=(const ZSemLocker&) = delete;

        // True when the caller may use the table: the semaphore is held, or there
        // is no semaphore to hold.
        bool owns() const { return !semaphore || held; }

    private:
        std::shared_ptr<ZNamedSemaphore> semaphore;
        bool held = false;
        const ZShmUrlHash* checked = nullptr;  // the table whose mapping this hold checked
    };

    // Longest key stored, in bytes. Every look-up walks one bucket's chain
    // under the lock shared by all workers and compares the keys of its
    // length: with keys this short and chains of at most
    // ZMMapHash::MAX_CHAIN entries, no operation compares more than
    // MAX_CHAIN * MAX_KEY_BYTES bytes. Longer keys are not stored; the URL
    // manager cuts its paths to this length before they are used.
    static constexpr std::size_t MAX_KEY_BYTES = 1024;

    // What storing a key's value came to.
    enum class Added {
        Stored,     // the key was added, or its value replaced
        NoRoom,     // the table is full, or the key's bucket is
        NotStored   // nothing can be stored: no usable table, an empty or too long key
    };

    ZShmUrlHash();
    virtual ~ZShmUrlHash();

    ZShmUrlHash(const ZShmUrlHash&) = delete;
    ZShmUrlHash& operator=(const ZShmUrlHash&) = delete;

    // Under the semaphore: attaches to the file dir + "/zshm_" + name, or creates
    // it with `size` bytes of entry space when it does not exist. A file that is
    // present but not a sound table is left alone and the table stays unattached.
    // Reports through the log only. `log` is kept for later diagnostics and must
    // outlive this object. False when the semaphore could not be taken in time,
    // so nothing was tried and the caller may try again later; true otherwise,
    // whether or not the table could be attached (see isAttached).
    bool open(VornLog& log, const std::string& name, const std::string& dir, unsigned long size);

    unsigned long size(bool lock) const;
    bool value(const std::wstring& uri, long& out, bool lock) const;
    bool contains(const std::wstring& uri, bool lock) const;
    void update(const std::wstring& uri, long value, bool lock);
    // The same by the URI's key, its UTF-8 bytes as the table stores them,
    // for a caller that keeps the key rather than convert the URI each time.
    bool valueKey(const std::string& key, long& out, bool lock) const;
    bool containsKey(const std::string& key, bool lock) const;
    Added updateKey(const std::string& key, long value, bool lock);

    bool isAttached() const { return attached; }

    const std::shared_ptr<ZNamedSemaphore>& getSemaphore() const { return semaphore; }
    // Replaces the semaphore handle; the earlier one is released.
    void setSemaphore(std::shared_ptr<ZNamedSemaphore> handle) { semaphore = std::move(handle); }

    // Removes the file dir + "/zshm_" + name; a missing file is no error.
    static void destroy(const std::string& name, const std::string& dir);

    // Every process of a web server that may use the table holds a shared
    // lock on the file dir + "/zshm_" + name + ".lock" for as long as it
    // runs (the workers through the descriptor they inherit from the process
    // that started them, or their own). Start-up removes the table file and
    // its semaphore (`semaphoreName`) only when it can take that lock
    // exclusively, that is when no running process uses them: a configuration
    // test, or any other start-up with the same settings beside a running
    // server, leaves them alone. Either way the calling process then holds
    // the shared lock. True when the leftovers were removed. Never throws;
    // when the lock file cannot be opened nothing is removed.
    static bool removeLeftoversUnlessInUse(const std::string& name, const std::string& dir,
                                           const std::string& semaphoreName);
    // Takes the shared lock of the table in `dir` for the life of the process,
    // unless the process already holds it. Never throws.
    static void holdInUse(const std::string& name, const std::string& dir);
    static std::string lockPath(const std::string& name, const std::string& dir);
    static std::string getUrlShmName() { return "UrlTableShm"; }
    static std::string getUrlShmLockerName() { return "UrlTableSem"; }

private:
    // Under the lock, before the mapping is touched: the file must still be
    // as long as what was mapped. A shorter one (cut by hand, or by any
    // process that does not take the lock) is damaged: it is logged, unmapped
    // and not used again by this process. False when nothing may be touched.
    bool mappingUsable() const;
    unsigned long sizeUnlocked() const;
    bool valueUnlocked(const std::string& key, long& out) const;
    bool containsUnlocked(const std::string& key) const;
    Added updateUnlocked(const std::string& key, long value);

    mutable ZMMapHash table;
    std::shared_ptr<ZNamedSemaphore> semaphore;
    mutable bool attached = false;
    mutable bool mappingChecked = false;  // by the locker holding the lock now
    std::string filePath;  // of the table, once open() ran
    VornLog* log = nullptr;
};
