#include "common/ZMMapHash.h"

#include <climits>
#include <cstring>
#include <functional>

namespace {

constexpr int64_t NO_OFFSET = -1;
constexpr size_t HASH_SEED = 0xc70f6907UL;
const char* const NEW_ENTRY_ERROR = "ZMMapHash::newEntry: can't allocate new entry: ";
const char* const INSERT_FULL_ERROR = "ZMMapHash::insert: has is full: ";
const char* const BUCKET_FULL_ERROR = "the key's bucket is full";

int64_t roundUp8(int64_t n)
{
    return (n + 7) & ~static_cast<int64_t>(7);
}

} // namespace

ZMMapHash::ZMMapHash() : header(nullptr), buckets(nullptr) {}

ZMMapHash::~ZMMapHash() = default; // the allocator unmaps and closes

void ZMMapHash::detach()
{
    header = nullptr;
    buckets = nullptr;
    allocator.close();
}

bool ZMMapHash::create(const std::string& name, const std::string& dir, unsigned long size)
{
    if (header != nullptr || allocator.isAttached())
        detach();
    unsigned long heap = size;
    if (heap > ULONG_MAX - static_cast<unsigned long>(TABLE_BYTES))
        heap = ULONG_MAX; // the allocator refuses it as too large
    else
        heap += static_cast<unsigned long>(TABLE_BYTES);
    if (!allocator.create(name, dir, heap)) {
        lastError = allocator.errorString();
        return false;
    }
    return doInitialize();
}

bool ZMMapHash::attach(const std::string& name, const std::string& dir)
{
    if (header != nullptr || allocator.isAttached())
        detach();
    if (!allocator.attach(name, dir)) {
        lastError = allocator.errorString();
        return false;
    }
    header = static_cast<Header*>(allocator.baseAddress());
    buckets = reinterpret_cast<int64_t*>(static_cast<char*>(allocator.baseAddress()) + HEADER_BYTES);
    // The file may come from a process that was killed half way: its table
    // must at least have been laid out completely before it is used.
    if (!tableUsable()) {
        lastError = "ZMMapHash::attach: invalid table in " + allocator.filePath();
        detach();
        return false;
    }
    return true;
}

bool ZMMapHash::doInitialize()
{
    void* h = allocator.allocate(HEADER_BYTES);
    void* b = h != nullptr ? allocator.allocate(static_cast<unsigned long>(BUCKET_COUNT) * 8) : nullptr;
    if (h == nullptr || b == nullptr) {
        lastError = allocator.errorString();
        detach();
        return false;
    }
    Header fresh;
    std::memset(&fresh, 0, sizeof(fresh));
    fresh.magic = MAGIC;
    fresh.bucketCount = BUCKET_COUNT;
    fresh.entryCount = 0;
    std::memcpy(h, &fresh, sizeof(fresh));
    std::memset(b, 0xFF, static_cast<size_t>(BUCKET_COUNT) * 8);
    header = static_cast<Header*>(h);
    buckets = static_cast<int64_t*>(b);
    return true;
}

// ---- bounds ------------------------------------------------------------------

int64_t ZMMapHash::entriesStart() const
{
    return HEADER_BYTES + static_cast<int64_t>(header->bucketCount) * 8;
}

int64_t ZMMapHash::usedEnd() const
{
    return static_cast<int64_t>(allocator.memUsage()) - ZMMapAllocator::HEADER_SIZE;
}

bool ZMMapHash::tableUsable()
{
    if (header == nullptr)
        return false;
    const long heapSize = allocator.memSize();
    const long heapUse = allocator.memUsage();
    const bool heapOk = heapSize >= 0 && static_cast<size_t>(heapSize) == allocator.mappedLength() &&
                        heapUse >= ZMMapAllocator::HEADER_SIZE && heapUse <= heapSize;
    if (!heapOk)
        return false;
    const int32_t bucketCount = header->bucketCount;
    if (bucketCount <= 0)
        return false;
    // Header and bucket array must lie inside the used part of the heap.
    if (HEADER_BYTES + static_cast<int64_t>(bucketCount) * 8 > usedEnd())
        return false;
    return header->entryCount >= 0;
}

void ZMMapHash::setCorrupt(const char* where)
{
    lastError = std::string(where) + ": the table in " + allocator.filePath() + " is corrupt";
}

ZMMapHash::Entry* ZMMapHash::entryAt(int64_t offset) const
{
    if (offset < entriesStart() || offset % 8 != 0 || offset > usedEnd() - ENTRY_BYTES)
        return nullptr;
    return reinterpret_cast<Entry*>(static_cast<char*>(allocator.baseAddress()) + offset);
}

char* ZMMapHash::bytesAt(int64_t offset, int64_t length) const
{
    if (length < 0 || offset < entriesStart() || offset > usedEnd() || length > usedEnd() - offset)
        return nullptr;
    return static_cast<char*>(allocator.baseAddress()) + offset;
}

uint32_t ZMMapHash::doGetIndexForKey(const std::string& key) const
{
    // The byte hash and seed of libstdc++'s std::hash<std::string>: part of
    // the file format, since every process must pick the same bucket.
    const size_t h = std::_Hash_bytes(key.data(), key.size(), HASH_SEED);
    return static_cast<uint32_t>(h) % static_cast<uint32_t>(header->bucketCount);
}

ZMMapHash::Walk ZMMapHash::doWalk(uint32_t index, const std::string* key) const
{
    Walk walk;
    int64_t prev = NO_OFFSET;
    int64_t offset = buckets[index];
    // A consistent chain is never longer than the entry count; one more step
    // allows for a writer killed between linking an entry and counting it.
    // The count itself is read from the file, so it is also held to the
    // number of entries the used heap can hold (each takes its 48 bytes plus
    // at least 8 for its value and 8 for its key): a damaged count must not
    // turn a looped chain into billions of steps under the shared lock.
    const int64_t room = (usedEnd() - entriesStart()) / (ENTRY_BYTES + 16);
    // No insert makes a chain longer than MAX_CHAIN, so a longer one is
    // damaged too.
    int64_t maxSteps = static_cast<int64_t>(header->entryCount);
    if (maxSteps > room)
        maxSteps = room;
    maxSteps += 1;
    if (maxSteps > MAX_CHAIN)
        maxSteps = MAX_CHAIN;
    int64_t steps = 0;
    while (offset != NO_OFFSET) {
        Entry* e = entryAt(offset);
        if (e == nullptr || steps >= maxSteps) {
            walk.corrupt = true;
            return walk;
        }
        ++steps;
        walk.length = steps;
        if (key != nullptr &&
            static_cast<int64_t>(e->keyLength) == static_cast<int64_t>(key->size())) {
            const char* k = bytesAt(e->keyOffset, e->keyLength);
            if (k == nullptr) {
                walk.corrupt = true;
                return walk;
            }
            if (std::memcmp(k, key->data(), key->size()) == 0) {
                walk.found = offset;
                walk.foundPrev = prev;
                walk.last = offset;
                return walk; // the rest of the chain is not needed
            }
        }
        walk.last = offset;
        prev = offset;
        offset = e->next;
    }
    return walk;
}

int64_t ZMMapHash::doFindBucket(uint32_t index, const std::string& key) const
{
    const Walk walk = doWalk(index, &key);
    return walk.found;
}

int64_t ZMMapHash::doFindLastInList(uint32_t index) const
{
    return doWalk(index, nullptr).last;
}

// ---- entries -----------------------------------------------------------------

bool ZMMapHash::refuseNewEntry(const std::string& key, const std::string& value)
{
    // Refused before anything is allocated, so a refused insert takes no space.
    if (key.empty() || value.empty() || key.size() > static_cast<size_t>(INT32_MAX) ||
        value.size() > static_cast<size_t>(INT32_MAX)) {
        lastError = NEW_ENTRY_ERROR + ZMMapAllocator::errorText(ZMMapAllocator::ERR_INVALID_SIZE);
        return true;
    }
    const int64_t need = ENTRY_BYTES + roundUp8(static_cast<int64_t>(value.size())) +
                         roundUp8(static_cast<int64_t>(key.size()));
    const int64_t freeBytes = static_cast<int64_t>(allocator.memSize()) - allocator.memUsage();
    if (need > freeBytes) {
        lastError = NEW_ENTRY_ERROR + ZMMapAllocator::errorText(ZMMapAllocator::ERR_OUT_OF_MEMORY);
        noRoom = true;
        return true;
    }
    return false;
}

int64_t ZMMapHash::newEntry(const std::string& key, const std::string& value)
{
    if (refuseNewEntry(key, value))
        return NO_OFFSET;
    void* e = allocator.allocate(ENTRY_BYTES);
    void* v = allocator.allocate(value.size());
    void* k = allocator.allocate(key.size());
    if (e == nullptr || v == nullptr || k == nullptr) {
        lastError = NEW_ENTRY_ERROR + allocator.errorString();
        noRoom = true;
        return NO_OFFSET;
    }
    std::memcpy(v, value.data(), value.size());
    std::memcpy(k, key.data(), key.size());
    Entry fresh;
    std::memset(&fresh, 0, sizeof(fresh));
    fresh.next = NO_OFFSET;
    fresh.prev = NO_OFFSET;
    fresh.valueOffset = allocator.ptrToOffset(v);
    fresh.valueLength = static_cast<int32_t>(value.size());
    fresh.keyOffset = allocator.ptrToOffset(k);
    fresh.keyLength = static_cast<int32_t>(key.size());
    std::memcpy(e, &fresh, sizeof(fresh));
    return allocator.ptrToOffset(e);
}

bool ZMMapHash::addNewKey(uint32_t index, const Walk& walk, const std::string& key,
                          const std::string& value, const char* where)
{
    // The walk did not reach the end of a damaged chain: there is no sound
    // place to link a new entry.
    if (walk.corrupt) {
        setCorrupt(where);
        return false;
    }
    if (walk.length >= MAX_CHAIN) {
        lastError = std::string(where) + ": " + BUCKET_FULL_ERROR;
        noRoom = true;
        return false;
    }
    const int64_t added = newEntry(key, value);
    if (added == NO_OFFSET)
        return false;
    return appendToBucket(index, walk, added);
}

bool ZMMapHash::appendToBucket(uint32_t index, const Walk& walk, int64_t entryOffset)
{
    Entry* added = entryAt(entryOffset);
    if (walk.last == NO_OFFSET) {
        buckets[index] = entryOffset;
    } else {
        added->prev = walk.last;
        entryAt(walk.last)->next = entryOffset;
    }
    header->entryCount += 1;
    return true;
}

// ---- operations ----------------------------------------------------------------

bool ZMMapHash::insert(const std::string& key, const std::string& value)
{
    noRoom = false;
    if (header == nullptr)
        return false;
    if (!tableUsable()) {
        setCorrupt("ZMMapHash::insert");
        return false;
    }
    if (key.empty() || key.size() > static_cast<size_t>(INT32_MAX)) {
        refuseNewEntry(key, value);
        return false;
    }
    const uint32_t index = doGetIndexForKey(key);
    const Walk walk = doWalk(index, &key);
    if (walk.found == NO_OFFSET)
        return addNewKey(index, walk, key, value, "ZMMapHash::insert");

    Entry* e = entryAt(walk.found);
    const int64_t newLength = static_cast<int64_t>(value.size());
    char* old = bytesAt(e->valueOffset, e->valueLength);
    if (newLength == 0 || (old != nullptr && e->valueLength >= newLength)) {
        if (newLength > 0)
            std::memcpy(old, value.data(), value.size());
        e->valueLength = static_cast<int32_t>(newLength);
        return true;
    }
    void* space = newLength <= INT32_MAX ? allocator.allocate(value.size()) : nullptr;
    if (space == nullptr) {
        if (newLength > INT32_MAX) {
            lastError = INSERT_FULL_ERROR + ZMMapAllocator::errorText(ZMMapAllocator::ERR_INVALID_SIZE);
        } else {
            lastError = INSERT_FULL_ERROR + allocator.errorString();
            noRoom = true;
        }
        return false;
    }
    std::memcpy(space, value.data(), value.size());
    e->valueOffset = allocator.ptrToOffset(space);
    e->valueLength = static_cast<int32_t>(newLength);
    return true;
}

bool ZMMapHash::atomicInsert(const std::string& key, const std::string& value)
{
    noRoom = false;
    if (header == nullptr)
        return false;
    if (!tableUsable()) {
        setCorrupt("ZMMapHash::atomicInsert");
        return false;
    }
    if (refuseNewEntry(key, value))
        return false;
    const uint32_t index = doGetIndexForKey(key);
    const Walk walk = doWalk(index, &key);
    if (walk.found == NO_OFFSET)
        return addNewKey(index, walk, key, value, "ZMMapHash::atomicInsert");

    const int64_t oldNext = entryAt(walk.found)->next;
    Entry* following = oldNext != NO_OFFSET ? entryAt(oldNext) : nullptr;
    if (oldNext != NO_OFFSET && following == nullptr) {
        setCorrupt("ZMMapHash::atomicInsert");
        return false;
    }
    const int64_t added = newEntry(key, value);
    if (added == NO_OFFSET)
        return false;
    Entry* fresh = entryAt(added);
    fresh->next = oldNext;
    fresh->prev = walk.foundPrev;
    if (following != nullptr)
        following->prev = added;
    if (walk.foundPrev == NO_OFFSET)
        buckets[index] = added;
    else
        entryAt(walk.foundPrev)->next = added;
    return true;
}

bool ZMMapHash::value(const std::string& key, std::string& out)
{
    void* data = nullptr;
    int length = 0;
    if (!value(key, &data, length))
        return false;
    out.assign(static_cast<const char*>(data), static_cast<size_t>(length));
    return true;
}

bool ZMMapHash::value(const std::string& key, void** data, int& length)
{
    if (header == nullptr)
        return false;
    if (!tableUsable()) {
        setCorrupt("ZMMapHash::value");
        return false;
    }
    if (key.empty())
        return false;
    const Walk walk = doWalk(doGetIndexForKey(key), &key);
    if (walk.found == NO_OFFSET)
        return false;
    const Entry* e = entryAt(walk.found);
    const int32_t valueLength = e->valueLength;
    char* bytes = bytesAt(e->valueOffset, valueLength);
    if (bytes == nullptr) {
        setCorrupt("ZMMapHash::value");
        return false;
    }
    *data = bytes;
    length = valueLength;
    return true;
}

bool ZMMapHash::contains(const std::string& key)
{
    if (header == nullptr || key.empty())
        return false;
    if (!tableUsable()) {
        setCorrupt("ZMMapHash::contains");
        return false;
    }
    return doWalk(doGetIndexForKey(key), &key).found != NO_OFFSET;
}

bool ZMMapHash::remove(const std::string& key)
{
    if (header == nullptr || key.empty())
        return false;
    if (!tableUsable()) {
        setCorrupt("ZMMapHash::remove");
        return false;
    }
    const uint32_t index = doGetIndexForKey(key);
    const Walk walk = doWalk(index, &key);
    if (walk.found == NO_OFFSET)
        return false;
    const Entry* e = entryAt(walk.found);
    int64_t next = e->next;
    Entry* following = next != NO_OFFSET ? entryAt(next) : nullptr;
    if (following == nullptr)
        next = NO_OFFSET; // a damaged link is cut rather than spread
    if (walk.foundPrev == NO_OFFSET)
        buckets[index] = next;
    else
        entryAt(walk.foundPrev)->next = next;
    if (following != nullptr)
        following->prev = walk.foundPrev;
    if (header->entryCount > 0)
        header->entryCount -= 1;
    return true;
}

bool ZMMapHash::clear()
{
    if (header == nullptr)
        return false;
    allocator.clear();
    header = nullptr;
    buckets = nullptr;
    return doInitialize();
}

std::string ZMMapHash::errorString() const
{
    return lastError;
}

long ZMMapHash::size() const
{
    if (header == nullptr)
        return 0;
    const int32_t count = header->entryCount;
    return count < 0 ? 0 : static_cast<long>(count);
}

bool ZMMapHash::fileCoversMapping(long long& fileLength) const
{
    fileLength = allocator.fileLength();
    return fileLength >= 0 && static_cast<unsigned long long>(fileLength) >= allocator.mappedLength();
}
