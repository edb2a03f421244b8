#pragma once

#include "common/ZShmBase.h"

// Read-write view of a named shared-memory block that it creates when needed.
class ZShmReadWrite : public ZShmBase {
public:
    ZShmReadWrite();
    ~ZShmReadWrite() override;

    // Opens the object read-write or creates it with permissions 0644 (set
    // with fchmod, whatever the umask), sets its size to exactly `size` bytes
    // and maps it read-write and shared. Throws zException on failure (also
    // for size 0, and for an object that is not a regular file, which is
    // neither sized nor written).
    void create(const std::wstring& name, unsigned long size) override;

private:
    // Opens the object read-write, creating it when missing; -1 with errno.
    static int openOrCreate(const std::string& posix);
};
