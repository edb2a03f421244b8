#include "common/ZMMapAllocator.h"

#include "common/VornUtils.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {
// Heap size and heap use are signed 32-bit fields of the file.
constexpr unsigned long MAX_HEAP_BYTES = INT32_MAX;
} // namespace

ZMMapAllocator::ZMMapAllocator()
    : fd(-1), mapping(nullptr), attached(false), lastErr(0), header(nullptr), mapLength(0),
      readOnly(false)
{
}

ZMMapAllocator::~ZMMapAllocator()
{
    close();
}

bool ZMMapAllocator::create(const std::string& name, const std::string& dir, unsigned long size)
{
    return doOpen(name, dir, size, true, false);
}

bool ZMMapAllocator::attach(const std::string& name, const std::string& dir)
{
    return doOpen(name, dir, 0, false, false);
}

bool ZMMapAllocator::attachReadOnly(const std::string& name, const std::string& dir)
{
    return doOpen(name, dir, 0, false, true);
}

bool ZMMapAllocator::doOpen(const std::string& name, const std::string& dir, unsigned long size,
                            bool create, bool ro)
{
    if (mapping != nullptr || fd >= 0)
        close();
    path = dir + "/zshm_" + name;
    readOnly = ro;

    struct stat st;
    if (create) {
        if (size > MAX_HEAP_BYTES - HEADER_SIZE) {
            lastErr = EFBIG;
            return false;
        }
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            lastErr = errno;
            close();
            return false;
        }
        // Every block is reserved now: the file is written through its
        // mapping, where a page without disk space behind it (a full file
        // system) would raise SIGBUS in the writing worker. A file that
        // cannot be reserved is removed again, so that nobody finds it short.
        int rc = 0;
        do {
            rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size + HEADER_SIZE));
        } while (rc == EINTR);
        if (rc != 0) {
            lastErr = rc;
            ::unlink(path.c_str());
            close();
            return false;
        }
        if (::fstat(fd, &st) != 0) {
            lastErr = errno;
            close();
            return false;
        }
    } else {
        // Another process may have put anything at the name: a link must not
        // lead the open elsewhere.
        const vorn::RegularFile file = vorn::openRegularFile(path, (ro ? O_RDONLY : O_RDWR) | O_NOFOLLOW);
        if (file.fd < 0) {
            lastErr = file.notRegular ? ERR_CORRUPT : file.error;
            close();
            return false;
        }
        fd = file.fd;
        st = file.st;
    }

    // A file written by another process (possibly killed half way) must at
    // least hold the header and fit the 32-bit size field before we map it.
    if (st.st_size < HEADER_SIZE || static_cast<unsigned long long>(st.st_size) > MAX_HEAP_BYTES) {
        lastErr = ERR_CORRUPT;
        close();
        return false;
    }
    void* m = ::mmap(nullptr, static_cast<size_t>(st.st_size), ro ? PROT_READ : (PROT_READ | PROT_WRITE),
                     MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        lastErr = errno;
        close();
        return false;
    }
    mapping = m;
    mapLength = static_cast<size_t>(st.st_size);
    header = static_cast<Header*>(mapping);

    if (create) {
        header->heapUse = static_cast<int32_t>(HEADER_SIZE);
        header->heapSize = static_cast<int32_t>(size + HEADER_SIZE);
    } else if (!headerValid()) {
        lastErr = ERR_CORRUPT;
        close();
        return false;
    }
    attached = true;
    return true;
}

bool ZMMapAllocator::headerValid() const
{
    if (header == nullptr)
        return false;
    const int32_t heapSize = header->heapSize;
    const int32_t heapUse = header->heapUse;
    return heapSize >= 0 && static_cast<size_t>(heapSize) == mapLength && heapUse >= HEADER_SIZE &&
           heapUse <= heapSize;
}

void* ZMMapAllocator::allocate(unsigned long n)
{
    if (n == 0 || n > MAX_HEAP_BYTES) {
        lastErr = ERR_INVALID_SIZE;
        return nullptr;
    }
    n = (n + 7) & ~7UL;
    if (header == nullptr) {
        lastErr = ERR_NOT_INITIALIZED;
        return nullptr;
    }
    if (readOnly) {
        lastErr = EROFS;
        return nullptr;
    }
    if (!headerValid()) {
        lastErr = ERR_CORRUPT;
        return nullptr;
    }
    const long freeBytes = static_cast<long>(header->heapSize) - header->heapUse;
    if (static_cast<long>(n) > freeBytes) {
        lastErr = ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    char* result = static_cast<char*>(mapping) + header->heapUse;
    header->heapUse = static_cast<int32_t>(header->heapUse + static_cast<long>(n));
    return result;
}

void ZMMapAllocator::clear()
{
    if (header != nullptr && !readOnly)
        header->heapUse = static_cast<int32_t>(HEADER_SIZE);
}

int ZMMapAllocator::close()
{
    if (mapping != nullptr)
        ::munmap(mapping, mapLength);
    const int rc = ::close(fd);
    attached = false;
    fd = -1;
    mapping = nullptr;
    header = nullptr;
    mapLength = 0;
    return rc;
}

long long ZMMapAllocator::fileLength() const
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

void* ZMMapAllocator::baseAddress() const
{
    if (mapping == nullptr)
        return nullptr;
    return static_cast<char*>(mapping) + HEADER_SIZE;
}

void* ZMMapAllocator::offsetToPtr(long offset) const
{
    if (mapping == nullptr || header == nullptr || offset < 0)
        return nullptr;
    long limit = static_cast<long>(header->heapSize);
    if (limit > static_cast<long>(mapLength))
        limit = static_cast<long>(mapLength);
    if (offset >= limit - HEADER_SIZE)
        return nullptr;
    return static_cast<char*>(mapping) + HEADER_SIZE + offset;
}

long ZMMapAllocator::ptrToOffset(const void* p) const
{
    if (p == nullptr || mapping == nullptr || header == nullptr)
        return -1;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapping) + HEADER_SIZE;
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    long limit = static_cast<long>(header->heapSize);
    if (limit > static_cast<long>(mapLength))
        limit = static_cast<long>(mapLength);
    if (addr < base || limit < HEADER_SIZE || addr - base >= static_cast<uintptr_t>(limit - HEADER_SIZE))
        return -1;
    return static_cast<long>(addr - base);
}

std::string ZMMapAllocator::errorText(int code)
{
    switch (code) {
    case ERR_OUT_OF_MEMORY:
        return "Out of memory";
    case ERR_NOT_INITIALIZED:
        return "ZMMap is not initialized";
    case ERR_INVALID_SIZE:
        return "Invalid allocation size";
    case ERR_OUT_OF_BOUNDS:
        return "Offset pointer is out of bounds";
    case ERR_CORRUPT:
        return "ZMMap file is corrupt";
    default:
        return std::strerror(code);
    }
}

std::string ZMMapAllocator::errorString() const
{
    return errorText(lastErr);
}

long ZMMapAllocator::memSize() const
{
    return header != nullptr ? static_cast<long>(header->heapSize) : 0;
}

long ZMMapAllocator::memUsage() const
{
    return header != nullptr ? static_cast<long>(header->heapUse) : 0;
}
