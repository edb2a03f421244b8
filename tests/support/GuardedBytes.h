#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

// Bytes followed by an inaccessible page: reading one byte past them ends the
// process, so a test shows by construction how far a function reads.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes)
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t pages = (bytes.size() + page - 1) / page;
        size_ = (pages + 1) * page;
        void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            size_ = 0;
            return;
        }
        base_ = static_cast<char*>(map);
        mprotect(base_ + pages * page, page, PROT_NONE);
        data_ = base_ + pages * page - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes()
    {
        if (base_ != nullptr)
            munmap(base_, size_);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // Null when no mapping could be made.
    const char* data() const { return data_; }

private:
    char* base_ = nullptr;
    char* data_ = nullptr;
    std::size_t size_ = 0;
};
