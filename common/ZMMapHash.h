#pragma once

#include <cstdint>
#include <string>

#include "common/ZMMapAllocator.h"

// String-to-string hash table kept entirely inside a ZMMapAllocator file, so
// that every process mapping the file sees the same table. Layout inside the
// heap (offsets from the heap base, native byte order):
//   0    hash header: int32 magic 34508, int32 bucket count 503,
//        int32 entry count, 4 bytes unused
//   16   bucket array: 503 int64 offsets of each chain's first entry (-1 empty)
//   4040 entries (48 bytes each: int64 next, int64 prev, int64 value offset,
//        int32 value length, 4 unused, int64 key offset, int32 key length,
//        4 unused) and their value and key bytes, each its own allocation
// Space is never freed. No locking: every operation, reads included, must run
// under one lock shared by all processes using the file. A damaged file (for
// instance from a process killed half way) makes attach fail or is walked
// only within bounds; it never makes the table read or write outside the file.
class ZMMapHash {
public:
    static constexpr int32_t MAGIC = 34508;
    static constexpr int32_t BUCKET_COUNT = 503;
    static constexpr long HEADER_BYTES = 16;
    static constexpr long TABLE_BYTES = HEADER_BYTES + BUCKET_COUNT * 8; // 4040
    static constexpr long ENTRY_BYTES = 48;
    // Longest chain a bucket may hold. Every operation walks one chain under
    // the lock that all processes share, and the bucket of a key is a public
    // function of its bytes: whoever chooses the keys can aim them all at one
    // bucket. A bucket that holds this many entries takes no new key (the
    // insert fails as for a full table), so no walk is ever longer. Keys of
    // any spread fill a bucket this far only when the table holds tens of
    // thousands of entries.
    static constexpr int64_t MAX_CHAIN = 64;

    ZMMapHash();
    ZMMapHash(const ZMMapHash&) = delete;
    ZMMapHash& operator=(const ZMMapHash&) = delete;
    // Unmaps and closes; the file stays.
    virtual ~ZMMapHash();

    // New file dir + "/zshm_" + name with size + 4040 bytes of heap and an
    // empty table.
    bool create(const std::string& name, const std::string& dir, unsigned long size);
    // Maps an existing file read-write and takes the table at heap offset 0;
    // fails (false, errorString) when the file or its table is damaged.
    bool attach(const std::string& name, const std::string& dir);

    // Adds the key, or replaces its value (in place when it fits). Fails
    // (false, errorString, lackedRoom) when the heap or the key's bucket is
    // full.
    bool insert(const std::string& key, const std::string& value);
    // Adds the key, or replaces its whole entry by a new one.
    bool atomicInsert(const std::string& key, const std::string& value);
    // Copies the key's value into out.
    bool value(const std::string& key, std::string& out);
    // Points data at the value bytes inside the mapping and sets length.
    bool value(const std::string& key, void** data, int& length);
    bool contains(const std::string& key);
    // Unlinks the key's entry; its bytes stay in the file.
    bool remove(const std::string& key);
    // Empties the heap and writes a new empty table.
    bool clear();

    std::string errorString() const;
    // Whether the last insert failed for want of room: the heap or the key's
    // bucket (MAX_CHAIN) is full.
    bool lackedRoom() const { return noRoom; }

    // Entry count of the table (0 when not attached).
    long size() const;
    bool isAttached() const { return header != nullptr; }
    // Whether the file still covers the whole mapping; `fileLength` gets its
    // length now (-1 when it cannot be told). Another process cutting the file
    // short would make the next touch of the mapping raise SIGBUS.
    bool fileCoversMapping(long long& fileLength) const;
    // Length of the mapping in bytes (0 when not attached).
    std::size_t mappedLength() const { return allocator.mappedLength(); }
    // Unmaps and closes; the file stays.
    void close() { detach(); }

private:
    struct Header {
        int32_t magic;
        int32_t bucketCount;
        int32_t entryCount;
        int32_t unused;
    };
    struct Entry {
        int64_t next;
        int64_t prev;
        int64_t valueOffset;
        int32_t valueLength;
        int32_t unused1;
        int64_t keyOffset;
        int32_t keyLength;
        int32_t unused2;
    };

    // Result of walking one bucket's chain.
    struct Walk {
        int64_t found = -1;     // entry holding the key, or -1
        int64_t foundPrev = -1; // the entry before it in the walk, or -1
        int64_t last = -1;      // last entry of the chain when the key is absent (-1: empty bucket)
        int64_t length = 0;     // entries walked: the chain's length when the key is absent
        bool corrupt = false;   // a link left the entry area, or the walk was too long
    };

    bool tableUsable();
    int64_t entriesStart() const;
    int64_t usedEnd() const;
    uint32_t doGetIndexForKey(const std::string& key) const;
    Entry* entryAt(int64_t offset) const;
    char* bytesAt(int64_t offset, int64_t length) const;
    Walk doWalk(uint32_t index, const std::string* key) const;
    int64_t doFindBucket(uint32_t index, const std::string& key) const;
    int64_t doFindLastInList(uint32_t index) const;
    int64_t newEntry(const std::string& key, const std::string& value);
    bool doInitialize();
    // Links a new entry for a key the walk did not find at the end of its chain.
    bool addNewKey(uint32_t index, const Walk& walk, const std::string& key, const std::string& value,
                   const char* where);
    bool appendToBucket(uint32_t index, const Walk& walk, int64_t entryOffset);
    bool refuseNewEntry(const std::string& key, const std::string& value);
    void setCorrupt(const char* where);
    void detach();

    Header* header;
    ZMMapAllocator allocator;
    int64_t* buckets;
    std::string lastError;
    bool noRoom = false;
};
