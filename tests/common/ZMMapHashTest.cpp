#include <poll.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "common/ZMMapHash.h"

namespace {

constexpr long FILE_HEADER = 8;
constexpr long BUCKETS_AT = 16;
constexpr long ENTRIES_AT = 4040;

template <typename T>
T readAt(const std::string& bytes, long heapOffset)
{
    T v{};
    std::memcpy(&v, bytes.data() + FILE_HEADER + heapOffset, sizeof(T));
    return v;
}

uint32_t bucketOf(const std::string& key)
{
    return static_cast<uint32_t>(std::_Hash_bytes(key.data(), key.size(), 0xc70f6907UL)) % 503u;
}

// Patches bytes of the file in place (the file is mapped shared elsewhere, so
// this is what another process scribbling into it looks like).
void patch(const std::string& path, long heapOffset, const void* data, size_t n)
{
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data, n, FILE_HEADER + heapOffset), static_cast<ssize_t>(n));
    ::close(fd);
}
template <typename T>
void patchValue(const std::string& path, long heapOffset, T v)
{
    patch(path, heapOffset, &v, sizeof(v));
}

// Two distinct keys "k<i>" that fall into the same bucket.
std::pair<std::string, std::string> collidingKeys(uint32_t* bucket = nullptr, int skip = 0)
{
    std::map<uint32_t, std::string> seen;
    for (int i = 0;; ++i) {
        const std::string k = "k" + std::to_string(i);
        const uint32_t b = bucketOf(k);
        auto it = seen.find(b);
        if (it != seen.end()) {
            if (skip-- > 0)
                continue;
            if (bucket)
                *bucket = b;
            return {it->second, k};
        }
        seen[b] = k;
    }
}

// Three keys of one bucket.
std::vector<std::string> threeInOneBucket(uint32_t* bucket)
{
    std::map<uint32_t, std::vector<std::string>> seen;
    for (int i = 0;; ++i) {
        const std::string k = "key" + std::to_string(i);
        auto& v = seen[bucketOf(k)];
        v.push_back(k);
        if (v.size() == 3) {
            *bucket = bucketOf(k);
            return v;
        }
    }
}

class ZMMapHashTest : public ::testing::Test {
protected:
    std::string filePath(const std::string& name = "h") const { return tmp.path() + "/zshm_" + name; }
    std::string bytes(const std::string& name = "h") const { return TempDir::readFile(filePath(name)); }
    int32_t heapUse(const std::string& name = "h") const
    {
        int32_t v = 0;
        std::memcpy(&v, bytes(name).data() + 4, 4);
        return v;
    }
    TempDir tmp;
};

} // namespace

TEST_F(ZMMapHashTest, NewTableLayout)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 0x500000));
    EXPECT_TRUE(h.isAttached());
    EXPECT_EQ(h.size(), 0);
    const std::string b = bytes();
    ASSERT_EQ(b.size(), 5246928u);
    EXPECT_EQ(readAt<int32_t>(b, -8), 5246928);
    EXPECT_EQ(readAt<int32_t>(b, -4), 8 + ENTRIES_AT);
    EXPECT_EQ(readAt<int32_t>(b, 0), 34508);
    EXPECT_EQ(readAt<int32_t>(b, 4), 503);
    EXPECT_EQ(readAt<int32_t>(b, 8), 0);
    EXPECT_EQ(readAt<int32_t>(b, 12), 0);
    for (int i = 0; i < 503; ++i)
        ASSERT_EQ(readAt<int64_t>(b, BUCKETS_AT + 8 * i), -1) << i;

    ASSERT_TRUE(h.insert("a", "b"));
    const std::string after = bytes();
    EXPECT_EQ(readAt<int64_t>(after, BUCKETS_AT + 8 * bucketOf("a")), ENTRIES_AT);
}

TEST_F(ZMMapHashTest, EntryLayoutAndSpace)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    const int32_t before = heapUse();
    ASSERT_TRUE(h.insert("k", "v"));
    EXPECT_EQ(heapUse() - before, 48 + 8 + 8);
    EXPECT_EQ(h.size(), 1);
    std::string out;
    ASSERT_TRUE(h.value("k", out));
    EXPECT_EQ(out, "v");

    const std::string b = bytes();
    EXPECT_EQ(readAt<int32_t>(b, 8), 1);                     // entry count
    EXPECT_EQ(readAt<int64_t>(b, ENTRIES_AT + 0), -1);       // next
    EXPECT_EQ(readAt<int64_t>(b, ENTRIES_AT + 8), -1);       // prev
    EXPECT_EQ(readAt<int64_t>(b, ENTRIES_AT + 16), ENTRIES_AT + 48); // value offset
    EXPECT_EQ(readAt<int32_t>(b, ENTRIES_AT + 24), 1);       // value length
    EXPECT_EQ(readAt<int32_t>(b, ENTRIES_AT + 28), 0);
    EXPECT_EQ(readAt<int64_t>(b, ENTRIES_AT + 32), ENTRIES_AT + 56); // key offset
    EXPECT_EQ(readAt<int32_t>(b, ENTRIES_AT + 40), 1);       // key length
    EXPECT_EQ(readAt<int32_t>(b, ENTRIES_AT + 44), 0);
    EXPECT_EQ(b[FILE_HEADER + ENTRIES_AT + 48], 'v');
    EXPECT_EQ(b[FILE_HEADER + ENTRIES_AT + 56], 'k');

    // A longer value takes new space once; one of the same length reuses it.
    int32_t used = heapUse();
    ASSERT_TRUE(h.insert("k", "0123456789"));
    EXPECT_EQ(heapUse() - used, 16);
    used = heapUse();
    ASSERT_TRUE(h.insert("k", "9876543210"));
    EXPECT_EQ(heapUse(), used);
    ASSERT_TRUE(h.value("k", out));
    EXPECT_EQ(out, "9876543210");
    // A shorter one is written in place and read back exactly.
    ASSERT_TRUE(h.insert("k", "42"));
    EXPECT_EQ(heapUse(), used);
    ASSERT_TRUE(h.value("k", out));
    EXPECT_EQ(out, "42");
    // A present key may take an empty value, in place.
    ASSERT_TRUE(h.insert("k", ""));
    ASSERT_TRUE(h.value("k", out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(h.size(), 1);

    void* data = nullptr;
    int length = -1;
    ASSERT_TRUE(h.insert("k", "xyz"));
    ASSERT_TRUE(h.value("k", &data, length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(static_cast<char*>(data), 3), "xyz");
}

TEST_F(ZMMapHashTest, EmptyKeyOrValueIsRefusedBeforeAllocating)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    const int32_t before = heapUse();
    EXPECT_FALSE(h.insert("", "v"));
    EXPECT_EQ(h.errorString(), "ZMMapHash::newEntry: can't allocate new entry: Invalid allocation size");
    EXPECT_FALSE(h.insert("k", ""));
    EXPECT_EQ(h.errorString(), "ZMMapHash::newEntry: can't allocate new entry: Invalid allocation size");
    EXPECT_FALSE(h.insert("", ""));
    EXPECT_FALSE(h.atomicInsert("", "v"));
    EXPECT_FALSE(h.atomicInsert("k", ""));
    EXPECT_EQ(heapUse(), before);
    EXPECT_EQ(h.size(), 0);
    EXPECT_FALSE(h.contains(""));
    std::string out = "untouched";
    EXPECT_FALSE(h.value("", out));
    EXPECT_EQ(out, "untouched");
}

TEST_F(ZMMapHashTest, ChainsKeepInsertionOrder)
{
    uint32_t bucket = 0;
    const auto keys = collidingKeys(&bucket);
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    ASSERT_TRUE(h.insert(keys.first, "1"));
    ASSERT_TRUE(h.insert(keys.second, "2"));
    const std::string b = bytes();
    const int64_t head = readAt<int64_t>(b, BUCKETS_AT + 8 * bucket);
    EXPECT_EQ(head, ENTRIES_AT);
    const int64_t second = readAt<int64_t>(b, head);
    EXPECT_NE(second, -1);
    EXPECT_EQ(readAt<int64_t>(b, second + 8), head);
    EXPECT_EQ(readAt<int64_t>(b, second), -1);
    EXPECT_EQ(readAt<int64_t>(b, head + 8), -1);
    std::string out;
    ASSERT_TRUE(h.value(keys.first, out));
    EXPECT_EQ(out, "1");
    ASSERT_TRUE(h.value(keys.second, out));
    EXPECT_EQ(out, "2");
    EXPECT_EQ(h.size(), 2);
}

TEST_F(ZMMapHashTest, RemoveRelinksNeighbours)
{
    uint32_t bucket = 0;
    const auto keys = threeInOneBucket(&bucket);
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 8192));
    for (const auto& k : keys)
        ASSERT_TRUE(h.insert(k, "v" + k));
    std::string b = bytes();
    const int64_t e0 = readAt<int64_t>(b, BUCKETS_AT + 8 * bucket);
    const int64_t e1 = readAt<int64_t>(b, e0);
    const int64_t e2 = readAt<int64_t>(b, e1);

    // Middle entry: neighbours point at each other.
    ASSERT_TRUE(h.remove(keys[1]));
    b = bytes();
    EXPECT_EQ(readAt<int64_t>(b, e0), e2);
    EXPECT_EQ(readAt<int64_t>(b, e2 + 8), e0);
    EXPECT_FALSE(h.contains(keys[1]));
    EXPECT_EQ(h.size(), 2);
    EXPECT_FALSE(h.remove(keys[1]));

    // Head entry: the next one becomes the head with prev -1.
    ASSERT_TRUE(h.remove(keys[0]));
    b = bytes();
    EXPECT_EQ(readAt<int64_t>(b, BUCKETS_AT + 8 * bucket), e2);
    EXPECT_EQ(readAt<int64_t>(b, e2 + 8), -1);

    // Reinserting goes to the end of the chain.
    ASSERT_TRUE(h.insert(keys[0], "again"));
    b = bytes();
    const int64_t tail = readAt<int64_t>(b, e2);
    EXPECT_NE(tail, -1);
    EXPECT_EQ(readAt<int64_t>(b, tail + 8), e2);

    // Emptying the bucket and reinserting puts the key at the head.
    ASSERT_TRUE(h.remove(keys[2]));
    ASSERT_TRUE(h.remove(keys[0]));
    EXPECT_EQ(readAt<int64_t>(bytes(), BUCKETS_AT + 8 * bucket), -1);
    ASSERT_TRUE(h.insert(keys[1], "x"));
    b = bytes();
    const int64_t newHead = readAt<int64_t>(b, BUCKETS_AT + 8 * bucket);
    EXPECT_EQ(readAt<int64_t>(b, newHead + 8), -1);
    EXPECT_EQ(readAt<int64_t>(b, newHead), -1);
    EXPECT_EQ(h.size(), 1);
}

TEST_F(ZMMapHashTest, AtomicInsertReplacesTheWholeEntryInPlace)
{
    uint32_t bucket = 0;
    const auto keys = threeInOneBucket(&bucket);
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 8192));
    for (const auto& k : keys)
        ASSERT_TRUE(h.atomicInsert(k, "1"));
    std::string b = bytes();
    const int64_t e0 = readAt<int64_t>(b, BUCKETS_AT + 8 * bucket);
    const int64_t e1 = readAt<int64_t>(b, e0);
    const int64_t e2 = readAt<int64_t>(b, e1);

    ASSERT_TRUE(h.atomicInsert(keys[1], "2"));
    b = bytes();
    const int64_t n1 = readAt<int64_t>(b, e0);
    EXPECT_NE(n1, e1);
    EXPECT_EQ(readAt<int64_t>(b, n1), e2);
    EXPECT_EQ(readAt<int64_t>(b, n1 + 8), e0);
    EXPECT_EQ(readAt<int64_t>(b, e2 + 8), n1);

    ASSERT_TRUE(h.atomicInsert(keys[0], "3"));
    b = bytes();
    const int64_t n0 = readAt<int64_t>(b, BUCKETS_AT + 8 * bucket);
    EXPECT_NE(n0, e0);
    EXPECT_EQ(readAt<int64_t>(b, n0 + 8), -1);
    EXPECT_EQ(readAt<int64_t>(b, n1 + 8), n0);

    EXPECT_EQ(h.size(), 3);
    std::string out;
    ASSERT_TRUE(h.value(keys[0], out));
    EXPECT_EQ(out, "3");
    ASSERT_TRUE(h.value(keys[1], out));
    EXPECT_EQ(out, "2");
    ASSERT_TRUE(h.value(keys[2], out));
    EXPECT_EQ(out, "1");
}

TEST_F(ZMMapHashTest, FullTableStaysReadableAndLeaksNothing)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 48 + 8 + 8));
    ASSERT_TRUE(h.insert("a", "1"));
    const int32_t used = heapUse();
    EXPECT_FALSE(h.insert("b", "2"));
    EXPECT_EQ(h.errorString(), "ZMMapHash::newEntry: can't allocate new entry: Out of memory");
    EXPECT_EQ(heapUse(), used);
    EXPECT_FALSE(h.insert("a", "longer than before"));
    EXPECT_EQ(h.errorString(), "ZMMapHash::insert: has is full: Out of memory");
    std::string out;
    ASSERT_TRUE(h.value("a", out));
    EXPECT_EQ(out, "1");
    EXPECT_TRUE(h.insert("a", "2")); // same length fits in place
    ASSERT_TRUE(h.value("a", out));
    EXPECT_EQ(out, "2");
    EXPECT_EQ(h.size(), 1);
}

TEST_F(ZMMapHashTest, ClearEmptiesTheTable)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    ASSERT_TRUE(h.insert("a", "1"));
    ASSERT_TRUE(h.insert("b", "2"));
    ASSERT_TRUE(h.clear());
    EXPECT_EQ(h.size(), 0);
    EXPECT_FALSE(h.contains("a"));
    EXPECT_EQ(heapUse(), 8 + ENTRIES_AT);
    ASSERT_TRUE(h.insert("c", "3"));
    EXPECT_TRUE(h.contains("c"));
}

TEST_F(ZMMapHashTest, UnattachedTableAnswersFalse)
{
    ZMMapHash h;
    std::string out;
    void* data = nullptr;
    int length = 0;
    EXPECT_FALSE(h.insert("a", "1"));
    EXPECT_FALSE(h.atomicInsert("a", "1"));
    EXPECT_FALSE(h.value("a", out));
    EXPECT_FALSE(h.value("a", &data, length));
    EXPECT_FALSE(h.contains("a"));
    EXPECT_FALSE(h.remove("a"));
    EXPECT_FALSE(h.clear());
    EXPECT_EQ(h.size(), 0);
    EXPECT_EQ(h.errorString(), "");
}

TEST_F(ZMMapHashTest, CreateAndAttachFailures)
{
    ZMMapHash h;
    EXPECT_FALSE(h.attach("h", tmp.path()));
    EXPECT_EQ(h.errorString(), std::strerror(ENOENT));
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    ZMMapHash other;
    EXPECT_FALSE(other.create("h", tmp.path(), 4096));
    EXPECT_EQ(other.errorString(), std::strerror(EEXIST));
    EXPECT_FALSE(other.create("huge", tmp.path(), ULONG_MAX));
    EXPECT_FALSE(other.create("huge2", tmp.path(), 0x7FFFFFFFUL - 4040));
    EXPECT_FALSE(other.isAttached());
    EXPECT_FALSE(h.create("x", tmp.path() + "/no/such/dir", 16));
    EXPECT_FALSE(h.isAttached());
}

TEST_F(ZMMapHashTest, AttachSeesTheCreatorsTableAndForeignMagic)
{
    ZMMapHash a;
    ASSERT_TRUE(a.create("h", tmp.path(), 4096));
    ASSERT_TRUE(a.insert("/x", "0"));
    ZMMapHash b;
    ASSERT_TRUE(b.attach("h", tmp.path()));
    std::string out;
    ASSERT_TRUE(b.value("/x", out));
    EXPECT_EQ(out, "0");
    ASSERT_TRUE(b.insert("/y", "1700000000"));
    EXPECT_TRUE(a.contains("/y"));
    EXPECT_EQ(a.size(), 2);

    patchValue<int32_t>(filePath(), 0, 12345); // another magic number
    ZMMapHash c;
    EXPECT_TRUE(c.attach("h", tmp.path()));
    EXPECT_TRUE(c.contains("/x"));
}

// ---- damaged files -------------------------------------------------------------

TEST_F(ZMMapHashTest, AttachRefusesDamagedTables)
{
    struct Damage {
        const char* what;
        std::function<void(const std::string&)> apply;
    };
    const std::vector<Damage> damages = {
        {"bucket count 0", [](const std::string& p) { patchValue<int32_t>(p, 4, 0); }},
        {"negative bucket count", [](const std::string& p) { patchValue<int32_t>(p, 4, -503); }},
        {"bucket array beyond the heap", [](const std::string& p) { patchValue<int32_t>(p, 4, 0x7FFFFFFF); }},
        {"negative entry count", [](const std::string& p) { patchValue<int32_t>(p, 8, -1); }},
        {"heap use below the table", [](const std::string& p) { patchValue<int32_t>(p, -4, 8 + 16); }},
        {"heap size not the file size", [](const std::string& p) { patchValue<int32_t>(p, -8, 1 << 30); }},
    };
    for (const Damage& d : damages) {
        ::unlink(filePath().c_str());
        {
            ZMMapHash h;
            ASSERT_TRUE(h.create("h", tmp.path(), 4096));
            ASSERT_TRUE(h.insert("a", "1"));
        }
        d.apply(filePath());
        ZMMapHash h;
        EXPECT_FALSE(h.attach("h", tmp.path())) << d.what;
        EXPECT_FALSE(h.errorString().empty()) << d.what;
        EXPECT_FALSE(h.isAttached()) << d.what;
        EXPECT_FALSE(h.contains("a")) << d.what;
        EXPECT_EQ(h.size(), 0) << d.what;
    }
}

TEST_F(ZMMapHashTest, HalfWrittenFilesAreRefused)
{
    // Killed before the allocator sized the file.
    TempDir::writeFile(filePath(), "");
    ZMMapHash h;
    EXPECT_FALSE(h.attach("h", tmp.path()));
    // Killed after sizing, before the heap header was written.
    TempDir::writeFile(filePath(), std::string(8 + 4040 + 64, '\0'));
    EXPECT_FALSE(h.attach("h", tmp.path()));
    // Killed after the heap header, before the table was laid out.
    std::string bytes(8 + 4040 + 64, '\0');
    const int32_t size = static_cast<int32_t>(bytes.size());
    const int32_t use = 8;
    std::memcpy(&bytes[0], &size, 4);
    std::memcpy(&bytes[4], &use, 4);
    TempDir::writeFile(filePath(), bytes);
    EXPECT_FALSE(h.attach("h", tmp.path()));
    EXPECT_EQ(h.size(), 0);
}

TEST_F(ZMMapHashTest, DamagedChainsAreWalkedWithinBounds)
{
    uint32_t bucket = 0;
    const auto keys = collidingKeys(&bucket);
    const long headSlot = BUCKETS_AT + 8 * static_cast<long>(bucket);

    struct Damage {
        const char* what;
        std::function<void(const std::string&, int64_t head, int64_t second)> apply;
    };
    const std::vector<Damage> damages = {
        {"head beyond the heap",
         [&](const std::string& p, int64_t, int64_t) { patchValue<int64_t>(p, headSlot, 1 << 30); }},
        {"head inside the bucket array",
         [&](const std::string& p, int64_t, int64_t) { patchValue<int64_t>(p, headSlot, 0); }},
        {"negative head", [&](const std::string& p, int64_t, int64_t) { patchValue<int64_t>(p, headSlot, -5); }},
        {"misaligned head",
         [&](const std::string& p, int64_t head, int64_t) { patchValue<int64_t>(p, headSlot, head + 3); }},
        {"head in free space",
         [&](const std::string& p, int64_t, int64_t) { patchValue<int64_t>(p, headSlot, 8000); }},
        {"cycle", [&](const std::string& p, int64_t head, int64_t second) { patchValue<int64_t>(p, second, head); }},
        {"next beyond the heap",
         [&](const std::string& p, int64_t head, int64_t) { patchValue<int64_t>(p, head, INT64_MAX - 7); }},
        {"key offset beyond the heap",
         [&](const std::string& p, int64_t head, int64_t) { patchValue<int64_t>(p, head + 32, 1 << 30); }},
        {"negative key offset",
         [&](const std::string& p, int64_t head, int64_t) { patchValue<int64_t>(p, head + 32, -64); }},
    };
    for (const Damage& d : damages) {
        ::unlink(filePath().c_str());
        ZMMapHash h;
        ASSERT_TRUE(h.create("h", tmp.path(), 16384));
        ASSERT_TRUE(h.insert(keys.first, "1"));
        ASSERT_TRUE(h.insert(keys.second, "2"));
        const std::string b = bytes();
        const int64_t head = readAt<int64_t>(b, headSlot);
        const int64_t second = readAt<int64_t>(b, head);
        d.apply(filePath(), head, second);

        std::string out;
        void* data = nullptr;
        int length = 0;
        // Nothing may crash or loop; answers may be "not found".
        h.contains(keys.first);
        h.contains(keys.second);
        h.contains("absent");
        h.value(keys.second, out);
        h.value(keys.second, &data, length);
        const bool inserted = h.insert("k-new-in-" + std::to_string(bucket), "v");
        (void)inserted;
        const int32_t before = heapUse();
        const bool chained = h.insert(keys.second + "x", "v");
        (void)chained;
        EXPECT_LE(heapUse() - before, 48 + 8 + 16) << d.what;
        h.atomicInsert(keys.second, "3");
        h.remove(keys.second);
        h.remove(keys.first);
        ZMMapHash again;
        again.attach("h", tmp.path());
        again.contains(keys.first);
    }
}

TEST_F(ZMMapHashTest, LoopedChainWithADamagedEntryCountEndsQuickly)
{
    // A chain that loops back on itself, with an entry count scribbled to
    // its maximum: the walk must still stop after a handful of steps rather
    // than go round the loop two billion times.
    uint32_t bucket = 0;
    const auto keys = threeInOneBucket(&bucket);
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 16384));
    ASSERT_TRUE(h.insert(keys[0], "1"));
    ASSERT_TRUE(h.insert(keys[1], "2"));
    const std::string b = bytes();
    const int64_t head = readAt<int64_t>(b, BUCKETS_AT + 8 * static_cast<long>(bucket));
    const int64_t second = readAt<int64_t>(b, head);
    patchValue<int64_t>(filePath(), second, head); // second.next -> head
    patchValue<int32_t>(filePath(), 8, INT32_MAX); // entry count

    const auto start = std::chrono::steady_clock::now();
    std::string out;
    EXPECT_FALSE(h.contains(keys[2]));
    EXPECT_FALSE(h.value(keys[2], out));
    EXPECT_FALSE(h.remove(keys[2]));
    EXPECT_FALSE(h.insert(keys[2], "3"));
    EXPECT_NE(h.errorString().find("corrupt"), std::string::npos) << h.errorString();
    EXPECT_TRUE(h.value(keys[1], out));
    EXPECT_EQ(out, "2");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(500));
}

TEST_F(ZMMapHashTest, CorruptChainRefusesNewKeysWithAClearError)
{
    uint32_t bucket = 0;
    const auto keys = collidingKeys(&bucket);
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 16384));
    ASSERT_TRUE(h.insert(keys.first, "1"));
    const int64_t head = readAt<int64_t>(bytes(), BUCKETS_AT + 8 * bucket);
    patchValue<int64_t>(filePath(), head, head); // entry points at itself
    const int32_t before = heapUse();
    EXPECT_FALSE(h.insert(keys.second, "2"));
    EXPECT_NE(h.errorString().find("corrupt"), std::string::npos) << h.errorString();
    EXPECT_EQ(heapUse(), before);
    // The present key is still found and updated in place.
    EXPECT_TRUE(h.insert(keys.first, "9"));
    std::string out;
    ASSERT_TRUE(h.value(keys.first, out));
    EXPECT_EQ(out, "9");
}

TEST_F(ZMMapHashTest, DamagedValueRangeIsNotRead)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    ASSERT_TRUE(h.insert("k", "v"));
    patchValue<int32_t>(filePath(), ENTRIES_AT + 24, 0x7FFFFFFF); // value length
    std::string out = "untouched";
    EXPECT_FALSE(h.value("k", out));
    EXPECT_EQ(out, "untouched");
    EXPECT_NE(h.errorString().find("corrupt"), std::string::npos);
    patchValue<int32_t>(filePath(), ENTRIES_AT + 24, -1);
    EXPECT_FALSE(h.value("k", out));
    // A new value is written to fresh space instead of through the bad range.
    EXPECT_TRUE(h.insert("k", "fresh"));
    ASSERT_TRUE(h.value("k", out));
    EXPECT_EQ(out, "fresh");
}

TEST_F(ZMMapHashTest, TableDamagedWhileAttachedIsRefused)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 4096));
    ASSERT_TRUE(h.insert("k", "v"));
    patchValue<int32_t>(filePath(), 4, 0); // bucket count
    EXPECT_FALSE(h.contains("k"));
    EXPECT_FALSE(h.insert("k2", "v"));
    EXPECT_NE(h.errorString().find("corrupt"), std::string::npos);
    patchValue<int32_t>(filePath(), 4, 503);
    EXPECT_TRUE(h.contains("k"));
}

// ---- several processes under one lock --------------------------------------------

namespace {

// Waits for a child for at most `seconds`; kills it after that.
int waitBounded(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

class NamedSem {
public:
    NamedSem() : name("/vorn_test_sem_" + std::to_string(getpid()))
    {
        sem_unlink(name.c_str());
        sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
    }
    ~NamedSem()
    {
        if (sem != SEM_FAILED)
            sem_close(sem);
        sem_unlink(name.c_str());
    }
    std::string name;
    sem_t* sem;
};

struct Locked {
    explicit Locked(sem_t* s) : sem(s)
    {
        while (sem_wait(sem) != 0) {
        }
    }
    ~Locked() { sem_post(sem); }
    sem_t* sem;
};

} // namespace

TEST_F(ZMMapHashTest, WritersInSeveralProcessesUnderOneLock)
{
    NamedSem lock;
    ASSERT_NE(lock.sem, SEM_FAILED);
    constexpr int WRITERS = 4;
    constexpr int KEYS = 300;
    {
        ZMMapHash creator;
        ASSERT_TRUE(creator.create("h", tmp.path(), 0x100000));
        ASSERT_TRUE(creator.insert("counter", "0"));
    }

    std::vector<pid_t> children;
    for (int w = 0; w < WRITERS; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            sem_t* s = sem_open(lock.name.c_str(), 0);
            ZMMapHash h;
            if (s == SEM_FAILED)
                _exit(2);
            {
                Locked l(s);
                if (!h.attach("h", tmp.path()))
                    _exit(3);
            }
            for (int i = 0; i < KEYS; ++i) {
                Locked l(s);
                // Every writer adds its own keys and bumps one shared counter;
                // the counter's text grows, so it moves to new space now and then.
                if (!h.insert("/w" + std::to_string(w) + "/p" + std::to_string(i), std::to_string(i)))
                    _exit(4);
                std::string c;
                if (!h.value("counter", c))
                    _exit(5);
                if (!h.insert("counter", std::to_string(std::stol(c) + 1)))
                    _exit(6);
            }
            _exit(0);
        }
        children.push_back(pid);
    }

    // A reader in this process, interleaved with the writers.
    {
        ZMMapHash reader;
        ASSERT_TRUE(reader.attach("h", tmp.path()));
        for (int i = 0; i < 50; ++i) {
            Locked l(lock.sem);
            std::string c;
            ASSERT_TRUE(reader.value("counter", c));
            EXPECT_LE(std::stol(c), WRITERS * KEYS);
        }
    }

    for (pid_t pid : children)
        EXPECT_EQ(waitBounded(pid, 30), 0);

    ZMMapHash h;
    ASSERT_TRUE(h.attach("h", tmp.path()));
    EXPECT_EQ(h.size(), WRITERS * KEYS + 1);
    std::string c;
    ASSERT_TRUE(h.value("counter", c));
    EXPECT_EQ(c, std::to_string(WRITERS * KEYS));
    for (int w = 0; w < WRITERS; ++w)
        for (int i = 0; i < KEYS; ++i) {
            std::string v;
            ASSERT_TRUE(h.value("/w" + std::to_string(w) + "/p" + std::to_string(i), v));
            EXPECT_EQ(v, std::to_string(i));
        }
}

TEST_F(ZMMapHashTest, WriterKilledMidwayLeavesAUsableTable)
{
    {
        ZMMapHash creator;
        ASSERT_TRUE(creator.create("h", tmp.path(), 0x100000));
    }
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ZMMapHash h;
        if (!h.attach("h", tmp.path()))
            _exit(3);
        for (long i = 0;; ++i) {
            h.insert("/k" + std::to_string(i), std::to_string(i));
            if (i == 100 && write(started[1], "x", 1) != 1)
                _exit(4);
        }
    }
    close(started[1]);
    // Killed once it has written some keys, at whatever point it then is
    // (a loaded machine may take long to schedule it at all).
    pollfd ready{started[0], POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 10000), 1);
    close(started[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    ZMMapHash h;
    ASSERT_TRUE(h.attach("h", tmp.path()));
    const long n = h.size();
    EXPECT_GT(n, 0);
    for (long i = 0; i + 1 < n; ++i)
        ASSERT_TRUE(h.contains("/k" + std::to_string(i))) << i;
    EXPECT_TRUE(h.insert("/after", "1") || !h.errorString().empty());
}

TEST_F(ZMMapHashTest, BucketIndexIsTheStandardStringHash)
{
    // The index is part of the file format: the low 32 bits of libstdc++'s
    // std::hash of the key bytes, modulo 503.
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 0x10000));
    for (const std::string& key : std::vector<std::string>{"/", "/index.php", "/user/{id}", std::string("a\0b", 3)}) {
        ASSERT_TRUE(h.insert(key, "1"));
        const uint32_t expected =
            static_cast<uint32_t>(std::hash<std::string>{}(key)) % 503u;
        const int64_t head = readAt<int64_t>(bytes(), BUCKETS_AT + 8 * static_cast<long>(expected));
        ASSERT_NE(head, -1) << key;
    }
}

TEST_F(ZMMapHashTest, ManyKeysBinaryKeysAndCase)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 0x100000));
    constexpr int N = 3000;
    for (int i = 0; i < N; ++i)
        ASSERT_TRUE(h.insert("/path/" + std::to_string(i), std::to_string(i * 7)));
    ASSERT_TRUE(h.insert("/Path/1", "upper"));
    const std::string withNul("k\0\xFF", 3);
    ASSERT_TRUE(h.insert(withNul, std::string("v\0v", 3)));
    const std::string longKey(10000, 'x');
    ASSERT_TRUE(h.insert(longKey, "long"));
    EXPECT_EQ(h.size(), N + 3);
    std::string out;
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(h.value("/path/" + std::to_string(i), out));
        ASSERT_EQ(out, std::to_string(i * 7));
    }
    ASSERT_TRUE(h.value("/path/1", out));
    EXPECT_EQ(out, "7");
    ASSERT_TRUE(h.value("/Path/1", out));
    EXPECT_EQ(out, "upper");
    ASSERT_TRUE(h.value(withNul, out));
    EXPECT_EQ(out, std::string("v\0v", 3));
    EXPECT_FALSE(h.contains(std::string("k\0\xFE", 3)));
    EXPECT_FALSE(h.contains("k"));
    ASSERT_TRUE(h.value(longKey, out));
    EXPECT_EQ(out, "long");
    EXPECT_FALSE(h.contains(std::string(9999, 'x')));
}

// Keys chosen for one bucket fill it to MAX_CHAIN entries, and no further:
// the walk under the shared lock stays that short whoever picks the keys.
TEST_F(ZMMapHashTest, ABucketTakesAtMostMaxChainKeys)
{
    ZMMapHash h;
    ASSERT_TRUE(h.create("h", tmp.path(), 0x100000));
    const uint32_t target = bucketOf("/aimed0");
    std::vector<std::string> aimed;
    for (int i = 0; aimed.size() <= static_cast<std::size_t>(ZMMapHash::MAX_CHAIN); ++i) {
        const std::string k = "/aimed" + std::to_string(i);
        if (bucketOf(k) == target)
            aimed.push_back(k);
    }
    for (std::size_t i = 0; i < aimed.size() - 1; ++i)
        ASSERT_TRUE(h.insert(aimed[i], "0")) << i;
    const int32_t used = heapUse();
    EXPECT_FALSE(h.insert(aimed.back(), "0"));
    EXPECT_TRUE(h.lackedRoom());
    EXPECT_NE(h.errorString().find("bucket is full"), std::string::npos) << h.errorString();
    EXPECT_EQ(used, heapUse());
    EXPECT_FALSE(h.contains(aimed.back()));
    // Keys already there are still found and updated; other buckets take keys.
    EXPECT_TRUE(h.insert(aimed.front(), "1234567890"));
    EXPECT_FALSE(h.lackedRoom());
    std::string other = "/other";
    while (bucketOf(other) == target)
        other += "x";
    EXPECT_TRUE(h.insert(other, "0"));
}
