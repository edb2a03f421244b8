#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

// A named POSIX shared-memory block of fixed size, mapped into the process.
// The POSIX name is the UTF-8 of `name` with "/" put in front unless it
// already starts with one. Subclasses open it read-only or read-write.
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
    // with the POSIX name. Standard errors raised inside (the shared-memory
    // layer's, a failed allocation) come out as zException with their text
    // read as Latin-1; a zException passes unchanged.
    void createGuarded(const std::wstring& name, unsigned long size,
                       const std::function<void(const std::string& posix)>& open);

public:
    std::wstring name;   // as given to create(), without an added "/"
    unsigned long size;  // as given to create()
    boost::interprocess::shared_memory_object shm;
    boost::interprocess::mapped_region region;
    bool created;        // true once a create() has mapped the block
};
