#pragma once

#include "common/ZShmBase.h"

// Read-only view of an existing named shared-memory block.
class ZShmReadOnly : public ZShmBase {
public:
    ZShmReadOnly();
    ~ZShmReadOnly() override;

    // Opens the existing object read-only and maps `size` bytes of it (its
    // current size when `size` is 0). Throws zException when the object is
    // missing, unreadable, not a regular file, smaller than `size` (not yet sized by its writer)
    // or empty, or when the mapping fails.
    void create(const std::wstring& name, unsigned long size) override;
};
