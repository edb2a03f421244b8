#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstring>

#include "TempDir.h"
#include "common/ZMMapAllocator.h"

namespace {

int32_t readInt32(const std::string& bytes, size_t pos)
{
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + pos, sizeof(v));
    return v;
}

std::string header(int32_t heapSize, int32_t heapUse)
{
    std::string h(8, '\0');
    std::memcpy(&h[0], &heapSize, 4);
    std::memcpy(&h[4], &heapUse, 4);
    return h;
}

class ZMMapAllocatorTest : public ::testing::Test {
protected:
    std::string filePath(const std::string& name) const { return tmp.path() + "/zshm_" + name; }
    TempDir tmp;
};

} // namespace

TEST_F(ZMMapAllocatorTest, CreateWritesTheHeaderAndSizesTheFile)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 5246920));
    EXPECT_TRUE(a.isAttached());
    EXPECT_EQ(a.filePath(), filePath("t"));
    EXPECT_EQ(a.memSize(), 5246928);
    EXPECT_EQ(a.memUsage(), 8);
    struct stat st;
    ASSERT_EQ(stat(filePath("t").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5246928);
    a.close();
    const std::string bytes = TempDir::readFile(filePath("t"));
    EXPECT_EQ(readInt32(bytes, 0), 5246928);
    EXPECT_EQ(readInt32(bytes, 4), 8);
}

// The file is written through its mapping: a page whose disk blocks were never
// reserved would raise SIGBUS in the writing worker once the file system is
// full. Creation reserves every block, or fails and leaves no file behind.
TEST_F(ZMMapAllocatorTest, CreateReservesTheWholeFileOrFailsWithoutLeavingIt)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 5246920));
    struct stat st;
    ASSERT_EQ(stat(filePath("t").c_str(), &st), 0);
    EXPECT_GE(static_cast<long long>(st.st_blocks) * 512, static_cast<long long>(st.st_size));
    a.close();

    // No room for the file (here: a file size limit).
    struct rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ZMMapAllocator b;
    const bool created = b.create("full", tmp.path(), 5246920);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(created);
    EXPECT_FALSE(b.isAttached());
    EXPECT_NE(stat(filePath("full").c_str(), &st), 0) << "a file that could not be reserved stays behind";
}

TEST_F(ZMMapAllocatorTest, AllocationRoundsToEightAndAdvances)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    char* base = static_cast<char*>(a.baseAddress());
    EXPECT_EQ(a.allocate(1), base);
    EXPECT_EQ(a.memUsage(), 16);
    EXPECT_EQ(a.allocate(16), base + 8);
    EXPECT_EQ(a.memUsage(), 32);
    EXPECT_EQ(a.allocate(0), nullptr);
    EXPECT_EQ(a.lastError(), 13461);
    EXPECT_EQ(a.errorString(), "Invalid allocation size");
    EXPECT_EQ(a.memUsage(), 32);
}

TEST_F(ZMMapAllocatorTest, ExactFitThenOutOfMemory)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 40));
    ASSERT_NE(a.allocate(40), nullptr);
    EXPECT_EQ(a.memUsage(), a.memSize());
    EXPECT_EQ(a.allocate(8), nullptr);
    EXPECT_EQ(a.lastError(), 13459);
    EXPECT_EQ(a.errorString(), "Out of memory");
    EXPECT_EQ(a.memUsage(), 48);
}

TEST_F(ZMMapAllocatorTest, CreateOfExistingFileAndAttachOfMissingFileFail)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    ZMMapAllocator b;
    EXPECT_FALSE(b.create("t", tmp.path(), 64));
    EXPECT_EQ(b.errorString(), std::strerror(EEXIST));
    EXPECT_FALSE(b.isAttached());
    ZMMapAllocator c;
    EXPECT_FALSE(c.attach("missing", tmp.path()));
    EXPECT_EQ(c.errorString(), std::strerror(ENOENT));
    EXPECT_EQ(c.filePath(), filePath("missing"));
}

TEST_F(ZMMapAllocatorTest, Conversions)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    EXPECT_EQ(a.offsetToPtr(-1), nullptr);
    EXPECT_EQ(a.offsetToPtr(a.memSize() - 8), nullptr);
    EXPECT_EQ(a.offsetToPtr(a.memSize() - 9), static_cast<char*>(a.baseAddress()) + 63);
    EXPECT_EQ(a.ptrToOffset(a.baseAddress()), 0);
    EXPECT_EQ(a.ptrToOffset(nullptr), -1);
    EXPECT_EQ(a.ptrToOffset(static_cast<char*>(a.baseAddress()) - 1), -1);
    EXPECT_EQ(a.ptrToOffset(static_cast<char*>(a.baseAddress()) + 64), -1);
    EXPECT_EQ(a.ptrToOffset(a.offsetToPtr(40)), 40);
}

TEST_F(ZMMapAllocatorTest, NothingMapped)
{
    ZMMapAllocator a;
    EXPECT_EQ(a.allocate(8), nullptr);
    EXPECT_EQ(a.lastError(), 13460);
    EXPECT_EQ(a.errorString(), "ZMMap is not initialized");
    EXPECT_EQ(a.baseAddress(), nullptr);
    EXPECT_EQ(a.offsetToPtr(0), nullptr);
    EXPECT_EQ(a.memSize(), 0);
    EXPECT_EQ(a.memUsage(), 0);
    EXPECT_EQ(ZMMapAllocator::errorText(13462), "Offset pointer is out of bounds");
    EXPECT_EQ(ZMMapAllocator().errorString(), std::strerror(0));
}

TEST_F(ZMMapAllocatorTest, CloseForgetsTheMappingAndKeepsTheFile)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    EXPECT_EQ(a.close(), 0);
    EXPECT_FALSE(a.isAttached());
    EXPECT_EQ(a.allocate(8), nullptr);
    EXPECT_EQ(a.lastError(), 13460);
    EXPECT_EQ(a.ptrToOffset(a.baseAddress()), -1);
    EXPECT_EQ(access(filePath("t").c_str(), F_OK), 0);
    EXPECT_NE(a.close(), 0); // nothing open any more
}

TEST_F(ZMMapAllocatorTest, ClearReusesTheHeapWithoutErasing)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    char* p = static_cast<char*>(a.allocate(8));
    std::memcpy(p, "ABCDEFG", 8);
    a.clear();
    EXPECT_EQ(a.memUsage(), 8);
    char* q = static_cast<char*>(a.allocate(8));
    EXPECT_EQ(q, p);
    EXPECT_STREQ(q, "ABCDEFG");
}

TEST_F(ZMMapAllocatorTest, AttachSharesTheHeapWithTheCreator)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    char* p = static_cast<char*>(a.allocate(8));
    std::memcpy(p, "shared!", 8);
    ZMMapAllocator b;
    ASSERT_TRUE(b.attach("t", tmp.path()));
    EXPECT_EQ(b.memUsage(), 16);
    EXPECT_STREQ(static_cast<char*>(b.offsetToPtr(0)), "shared!");
    ASSERT_NE(b.allocate(8), nullptr);
    EXPECT_EQ(a.memUsage(), 24); // one header for every process

    ZMMapAllocator ro;
    ASSERT_TRUE(ro.attachReadOnly("t", tmp.path()));
    EXPECT_TRUE(ro.isReadOnly());
    EXPECT_STREQ(static_cast<char*>(ro.offsetToPtr(0)), "shared!");
    EXPECT_EQ(ro.allocate(8), nullptr);
    ro.clear();
    EXPECT_EQ(a.memUsage(), 24);
}

TEST_F(ZMMapAllocatorTest, SizesBeyondThirtyOneBitsAreRefused)
{
    ZMMapAllocator a;
    EXPECT_FALSE(a.create("big", tmp.path(), static_cast<unsigned long>(INT32_MAX)));
    EXPECT_FALSE(a.create("big2", tmp.path(), ULONG_MAX));
    EXPECT_EQ(access(filePath("big").c_str(), F_OK), -1);
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    EXPECT_EQ(a.allocate(ULONG_MAX), nullptr);
    EXPECT_EQ(a.lastError(), 13461);
    EXPECT_EQ(a.allocate(ULONG_MAX - 3), nullptr); // would wrap when rounded
    EXPECT_EQ(a.allocate(static_cast<unsigned long>(INT32_MAX) + 1), nullptr);
    EXPECT_EQ(a.memUsage(), 8);
}

TEST_F(ZMMapAllocatorTest, AttachRefusesDamagedFiles)
{
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::string body(56, '\0');
    const Case cases[] = {
        {"empty file", std::string()},
        {"shorter than the header", std::string(5, '\0')},
        {"header never written", header(0, 0) + body},
        {"heap size larger than the file", header(1 << 20, 8) + body},
        {"heap size smaller than the file", header(32, 8) + body},
        {"negative heap size", header(-64, 8) + body},
        {"heap use below the header", header(64, 4) + body},
        {"heap use beyond the heap", header(64, 72) + body},
        {"negative heap use", header(64, -8) + body},
    };
    for (const Case& c : cases) {
        TempDir::writeFile(filePath("bad"), c.bytes);
        ZMMapAllocator a;
        EXPECT_FALSE(a.attach("bad", tmp.path())) << c.what;
        EXPECT_EQ(a.lastError(), ZMMapAllocator::ERR_CORRUPT) << c.what;
        EXPECT_EQ(a.errorString(), "ZMMap file is corrupt") << c.what;
        EXPECT_FALSE(a.isAttached()) << c.what;
        EXPECT_EQ(a.allocate(8), nullptr) << c.what;
    }
    TempDir::writeFile(filePath("good"), header(64, 64) + body);
    ZMMapAllocator full;
    EXPECT_TRUE(full.attach("good", tmp.path()));
    EXPECT_EQ(full.allocate(8), nullptr);
    EXPECT_EQ(full.lastError(), 13459);
}

TEST_F(ZMMapAllocatorTest, HeaderDamagedWhileAttachedIsNotTrusted)
{
    ZMMapAllocator a;
    ASSERT_TRUE(a.create("t", tmp.path(), 64));
    ZMMapAllocator b;
    ASSERT_TRUE(b.attach("t", tmp.path()));
    // Another process scribbles a bigger heap size into the shared header.
    int32_t* hdr = static_cast<int32_t*>(static_cast<void*>(static_cast<char*>(a.baseAddress()) - 8));
    hdr[0] = 1 << 30;
    EXPECT_EQ(b.allocate(8), nullptr);
    EXPECT_EQ(b.lastError(), ZMMapAllocator::ERR_CORRUPT);
    EXPECT_EQ(b.offsetToPtr(100), nullptr); // bounded by the real mapping
    hdr[0] = 72;
    EXPECT_NE(b.allocate(8), nullptr);
}
