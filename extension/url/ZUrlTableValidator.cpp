#include "extension/url/ZUrlTableValidator.h"

#include "common/VornUtils.h"
#include "common/ZMMapHash.h"
#include "extension/url/ZShmUrlHash.h"

#include <bits/hash_bytes.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bucket index as the table computes it: libstdc++'s byte hash with the seed of
// its std::hash for strings, low 32 bits, modulo the bucket count.
long bucketOf(const char* key, size_t len, int buckets)
{
    const size_t h = std::_Hash_bytes(key, len, static_cast<size_t>(0xc70f6907UL));
    return static_cast<long>(static_cast<uint32_t>(h) % static_cast<uint32_t>(buckets));
}

template <typename T>
T readAt(const unsigned char* base, long pos)
{
    T v;
    std::memcpy(&v, base + pos, sizeof v);
    return v;
}

bool isNumberText(const unsigned char* p, int32_t len)
{
    if (len <= 0 || len > 20)
        return false;
    int32_t i = (p[0] == '-') ? 1 : 0;
    if (i == len)
        return false;
    for (; i < len; ++i)
        if (p[i] < '0' || p[i] > '9')
            return false;
    return true;
}

class Mapping {
public:
    ~Mapping()
    {
        if (addr != MAP_FAILED)
            munmap(addr, length);
        if (fd >= 0)
            close(fd);
    }
    int fd = -1;
    void* addr = MAP_FAILED;
    size_t length = 0;
};

} // namespace

ZUrlTableValidator::Result ZUrlTableValidator::check(const std::string& path, std::string& reason,
                                                     const EntryVisitor& visit)
{
    reason.clear();
    Mapping m;
    // The check runs under the table's lock: a FIFO in the file's place must
    // not block it, nor a link lead it elsewhere.
    const vorn::RegularFile opened = vorn::openRegularFile(path, O_RDONLY | O_NOFOLLOW);
    m.fd = opened.fd;
    const struct stat& st = opened.st;
    if (opened.notRegular || opened.error == ELOOP) {
        reason = opened.notRegular ? "it is not a regular file" : "it is a symbolic link";
        return Result::Corrupt;
    }
    if (m.fd < 0) {
        if (opened.error == ENOENT)
            return Result::Missing;
        reason = std::strerror(opened.error);
        return Result::Unreadable;
    }
    const long fileSize = static_cast<long>(st.st_size);
    if (fileSize < kAllocatorHeader + kTableStart) {
        reason = "file is too short (" + std::to_string(fileSize) + " bytes)";
        return Result::Corrupt;
    }
    m.length = static_cast<size_t>(fileSize);
    m.addr = mmap(nullptr, m.length, PROT_READ, MAP_SHARED, m.fd, 0);
    if (m.addr == MAP_FAILED) {
        reason = std::strerror(errno);
        return Result::Unreadable;
    }
    const auto* file = static_cast<const unsigned char*>(m.addr);
    const auto* heap = file + kAllocatorHeader;

    const int32_t heapSize = readAt<int32_t>(file, 0);
    const int32_t heapUse = readAt<int32_t>(file, 4);
    if (heapSize != fileSize) {
        reason = "size field " + std::to_string(heapSize) + " does not match the file length " +
                 std::to_string(fileSize);
        return Result::Corrupt;
    }
    if (heapUse < kAllocatorHeader + kTableStart || heapUse > heapSize || heapUse % 8 != 0) {
        reason = "use field " + std::to_string(heapUse) + " is out of range";
        return Result::Corrupt;
    }
    const int32_t magic = readAt<int32_t>(heap, 0);
    const int32_t buckets = readAt<int32_t>(heap, 4);
    const int32_t count = readAt<int32_t>(heap, 8);
    if (magic != kMagic) {
        reason = "bad magic number " + std::to_string(magic);
        return Result::Corrupt;
    }
    if (buckets != kBuckets) {
        reason = "bad bucket count " + std::to_string(buckets);
        return Result::Corrupt;
    }
    if (count < 0) {
        reason = "bad entry count " + std::to_string(count);
        return Result::Corrupt;
    }

    // Everything referenced must lie in the allocated part of the heap, after
    // the header and the buckets.
    const long used = heapUse - kAllocatorHeader;
    auto inUsed = [used](int64_t off, int64_t len) {
        return off >= kTableStart && len >= 0 && off <= used && len <= used - off;
    };

    long seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        int64_t off = readAt<int64_t>(heap, 16 + 8L * b);
        int64_t prev = -1;
        int64_t chain = 0;
        while (off != -1) {
            // No worker makes a chain or a key longer than these: a file
            // that holds one was not written by them, and walking it could
            // cost any time under the lock.
            if (++chain > ZMMapHash::MAX_CHAIN) {
                reason = "bucket " + std::to_string(b) + " holds more than " +
                         std::to_string(ZMMapHash::MAX_CHAIN) + " entries";
                return Result::Corrupt;
            }
            if (++seen > count) {
                reason = "more entries in the chains than the entry count " + std::to_string(count) +
                         " (or a loop)";
                return Result::Corrupt;
            }
            if (off % 8 != 0 || !inUsed(off, kEntrySize)) {
                reason = "entry offset " + std::to_string(off) + " out of range in bucket " +
                         std::to_string(b);
                return Result::Corrupt;
            }
            const int64_t next = readAt<int64_t>(heap, off);
            const int64_t back = readAt<int64_t>(heap, off + 8);
            const int64_t valueOff = readAt<int64_t>(heap, off + 16);
            const int32_t valueLen = readAt<int32_t>(heap, off + 24);
            const int64_t keyOff = readAt<int64_t>(heap, off + 32);
            const int32_t keyLen = readAt<int32_t>(heap, off + 40);
            if (back != prev) {
                reason = "broken back link at entry " + std::to_string(off);
                return Result::Corrupt;
            }
            if (keyLen <= 0 || !inUsed(keyOff, keyLen) || !inUsed(valueOff, valueLen)) {
                reason = "key or value out of range at entry " + std::to_string(off);
                return Result::Corrupt;
            }
            if (static_cast<std::size_t>(keyLen) > ZShmUrlHash::MAX_KEY_BYTES) {
                reason = "key of entry " + std::to_string(off) + " is longer than " +
                         std::to_string(ZShmUrlHash::MAX_KEY_BYTES) + " bytes";
                return Result::Corrupt;
            }
            const char* key = reinterpret_cast<const char*>(heap + keyOff);
            if (bucketOf(key, static_cast<size_t>(keyLen), buckets) != b) {
                reason = "entry " + std::to_string(off) + " is in the wrong bucket";
                return Result::Corrupt;
            }
            if (!isNumberText(heap + valueOff, valueLen)) {
                reason = "value of entry " + std::to_string(off) + " is not a number";
                return Result::Corrupt;
            }
            if (visit)
                visit(std::string(key, static_cast<size_t>(keyLen)),
                      std::string(reinterpret_cast<const char*>(heap + valueOff), static_cast<size_t>(valueLen)));
            prev = off;
            off = next;
        }
    }
    if (seen != count) {
        reason = "entry count " + std::to_string(count) + " but " + std::to_string(seen) +
                 " entries in the chains";
        return Result::Corrupt;
    }
    return Result::Valid;
}
