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
    // for size 0).
    void create(const std::wstring& name, unsigned long size) override;
};
