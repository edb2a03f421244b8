#pragma once

#include <cstddef>
#include <functional>
#include <string>

// A named POSIX shared-memory block of fixed size, mapped into the process.
// The POSIX name is the UTF-8 of `name` with "/" put in front unless it
// already starts with one. Subclasses open it read-only or read-write.
//
// Anyone on the machine can put something else under a block's name (a FIFO
// while the writer is not running): a block is opened without blocking and
// used only when it is a regular file.
class ZShmBase {
public:
    ZShmBase();
    ZShmBase(const ZShmBase&) = delete;
    ZShmBase& operator=(const ZShmBase&) = delete;
    // Unmaps the block and closes its descriptor; the POSIX object stays.
    virtual ~ZShmBase();

    // Opens (and for writers creates and sizes) the block and maps it.
    // Throws zException on failure.
    virtual void create(const std::wstring& name, unsigned long size) = 0;

    // Removes the POSIX object of that name; a missing object is no error.
    static void erase(const std::wstring& name);

    // "/" + UTF-8 of name, without a second "/".
    static std::string posixName(const std::wstring& name);

    // Stores name and size; the first step of every create().
    void initializeBase(const std::wstring& name, unsigned long size);

    // Start of the mapping (null when nothing is mapped).
    void* address() const;
    // Length of the mapping in bytes (0 when nothing is mapped).
    std::size_t mappedSize() const;
    bool isMapped() const;
    // One look at the open object (a single fstat of its descriptor): its
    // size, and whether it still has a name. An object that was removed
    // (shm_unlink) has none, also when a new object was made under its name
    // since. False when no object is open or the look fails.
    bool status(long long& objectSize, bool& named) const;
    // Unmaps the block and closes its descriptor; `created` false again.
    void close();
    // Schedules the write-back of the whole mapping (msync MS_ASYNC);
    // false when nothing is mapped or the call fails.
    bool flushAsync();

protected:
    // The frame of every create(): stores name and size, then runs `open`
    // with the POSIX name. Standard errors raised inside (a failed
    // allocation) come out as zException with their text read as Latin-1;
    // a zException passes unchanged.
    void createGuarded(const std::wstring& name, unsigned long size,
                       const std::function<void(const std::string& posix)>& open);

    // shm_open with O_NONBLOCK added (glibc adds O_NOFOLLOW and O_CLOEXEC):
    // a FIFO under the name would otherwise block the open until someone
    // writes to it. Returns the descriptor, or -1 with errno set.
    static int openNonBlocking(const std::string& posix, int flags, unsigned mode);
    // Throws zException unless `fd` is a regular file (closing `fd` first);
    // otherwise gives its size.
    static long long requireRegularFile(int fd, const std::string& posix);
    // Throws zException with the system's text for `err`.
    [[noreturn]] static void throwSystemError(int err);

    // Takes `fd` (open) and the new mapping in place of the ones held,
    // releasing those; `created` true.
    void adopt(int fd, void* mapping, std::size_t length);

public:
    std::wstring name;   // as given to create(), without an added "/"
    unsigned long size;  // as given to create()
    bool created;        // true once a create() has mapped the block

private:
    void unmap();

    int descriptor;      // the open object, -1 when none
    void* mapping;       // start of the mapping, null when none
    std::size_t mappingLength;
};
