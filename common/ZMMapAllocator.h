#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A grow-only heap in a plain file that several processes map shared.
// File layout (native byte order):
//   0: int32 heap size (whole file, header included)
//   4: int32 heap use  (position of the first free byte; 8 when empty)
//   8: allocations, each a multiple of 8 bytes, in order of allocation
// Offsets are distances from the heap base (file position 8) and mean the
// same place in every process. No locking: callers serialise access across
// processes. Failures answer false / null / -1 and keep a last-error code.
class ZMMapAllocator {
public:
    static constexpr int ERR_OUT_OF_MEMORY = 13459;   // "Out of memory"
    static constexpr int ERR_NOT_INITIALIZED = 13460; // "ZMMap is not initialized"
    static constexpr int ERR_INVALID_SIZE = 13461;    // "Invalid allocation size"
    static constexpr int ERR_OUT_OF_BOUNDS = 13462;   // "Offset pointer is out of bounds"
    static constexpr int ERR_CORRUPT = 13463;         // "ZMMap file is corrupt"

    static constexpr long HEADER_SIZE = 8;

    ZMMapAllocator();
    ZMMapAllocator(const ZMMapAllocator&) = delete;
    ZMMapAllocator& operator=(const ZMMapAllocator&) = delete;
    // close(); the file stays on disk.
    ~ZMMapAllocator();

    // Makes the new file dir + "/zshm_" + name with `size` bytes of heap
    // (file size size + 8), maps it read-write and writes an empty header.
    // Fails when the file exists or when size + 8 does not fit 31 bits.
    bool create(const std::string& name, const std::string& dir, unsigned long size);
    // Opens the existing file read-write and maps it whole. The header must
    // match the file (heap size == file size, 8 <= heap use <= heap size),
    // else it fails with ERR_CORRUPT.
    bool attach(const std::string& name, const std::string& dir);
    // Same, read-only; allocate() and clear() then change nothing.
    bool attachReadOnly(const std::string& name, const std::string& dir);

    // The next n bytes of the heap, n rounded up to a multiple of 8; null on
    // failure (0 or oversized n, nothing mapped, heap full, corrupt header).
    void* allocate(unsigned long n);
    // Empties the heap (heap use back to 8); the bytes are not erased.
    void clear();
    // Unmaps and closes; returns the result of the system close().
    int close();

    // Mapping start + 8, or null when nothing is mapped.
    void* baseAddress() const;
    // Heap base + offset for 0 <= offset < heap size - 8, else null.
    void* offsetToPtr(long offset) const;
    // Offset of p from the heap base, or -1 when p lies outside the heap.
    long ptrToOffset(const void* p) const;

    std::string errorString() const;
    int lastError() const { return lastErr; }
    // Header's heap size / heap use, 0 when nothing is mapped.
    long memSize() const;
    long memUsage() const;

    bool isAttached() const { return attached; }
    bool isReadOnly() const { return readOnly; }
    const std::string& filePath() const { return path; }
    // Length of the mapping in bytes (0 when nothing is mapped).
    std::size_t mappedLength() const { return mapLength; }
    // The mapped file's length now (one fstat), or -1 when nothing is open or
    // the look fails. A file cut below the mapping's length raises SIGBUS at
    // the first touch of a page past its end.
    long long fileLength() const;

    // Text of an allocator error code (system error numbers give strerror).
    static std::string errorText(int code);

private:
    struct Header {
        int32_t heapSize;
        int32_t heapUse;
    };

    bool doOpen(const std::string& name, const std::string& dir, unsigned long size,
                bool create, bool readOnly);
    bool headerValid() const;

    int fd;
    void* mapping;
    bool attached;
    int lastErr;
    Header* header;
    std::string path;
    std::size_t mapLength;
    bool readOnly;
};
