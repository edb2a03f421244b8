#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/ZShmReadOnly.h"
#include "common/ZShmReadWrite.h"
#include "common/zException.h"

namespace {

int openDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

// A unique block name for this test process, removed at the end.
class ZShmTest : public ::testing::Test {
protected:
    ZShmTest()
    {
        const std::string n = "vorn_test_shm_" + std::to_string(getpid()) + "_" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        name = std::wstring(n.begin(), n.end());
        posix = "/" + n;
        ZShmBase::erase(name);
    }
    ~ZShmTest() override { ZShmBase::erase(name); }

    long objectSize()
    {
        int fd = shm_open(posix.c_str(), O_RDONLY, 0);
        if (fd < 0)
            return -1;
        struct stat st;
        fstat(fd, &st);
        ::close(fd);
        return static_cast<long>(st.st_size);
    }

    std::wstring name;
    std::string posix;
};

} // namespace

TEST_F(ZShmTest, ConstructedStateIsUnmapped)
{
    ZShmReadOnly ro;
    EXPECT_FALSE(ro.created);
    EXPECT_FALSE(ro.isMapped());
    EXPECT_EQ(ro.address(), nullptr);
    EXPECT_EQ(ro.mappedSize(), 0u);
    EXPECT_EQ(ro.size, 0u);
    EXPECT_FALSE(ro.flushAsync());
}

TEST_F(ZShmTest, PosixNameGetsOneLeadingSlash)
{
    EXPECT_EQ(ZShmBase::posixName(L"QX_PHPAgent"), "/QX_PHPAgent");
    EXPECT_EQ(ZShmBase::posixName(L"/QX_PHPAgent"), "/QX_PHPAgent");
}

TEST_F(ZShmTest, WriterCreatesReaderSeesTheBytes)
{
    ZShmReadWrite rw;
    rw.create(name, 392);
    EXPECT_TRUE(rw.created);
    ASSERT_TRUE(rw.isMapped());
    EXPECT_EQ(rw.mappedSize(), 392u);
    EXPECT_EQ(objectSize(), 392);
    unsigned char* w = static_cast<unsigned char*>(rw.address());
    for (int i = 0; i < 392; ++i)
        EXPECT_EQ(w[i], 0) << i;
    w[0] = 1;
    std::memcpy(w + 8, "probe", 6);
    EXPECT_TRUE(rw.flushAsync());

    ZShmReadOnly ro;
    ro.create(name, 392);
    EXPECT_TRUE(ro.created);
    EXPECT_EQ(ro.name, name);
    EXPECT_EQ(ro.size, 392u);
    const unsigned char* r = static_cast<const unsigned char*>(ro.address());
    EXPECT_EQ(r[0], 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 8), "probe");
    w[0] = 0; // live view, no copy
    EXPECT_EQ(r[0], 0);
}

TEST_F(ZShmTest, NameWithLeadingSlashIsUsedAsIs)
{
    ZShmReadWrite rw;
    rw.create(std::wstring(L"/") + name, 64);
    ZShmReadOnly ro;
    EXPECT_NO_THROW(ro.create(name, 64));
}

TEST_F(ZShmTest, ReaderOfMissingBlockThrowsSystemText)
{
    ZShmReadOnly ro;
    try {
        ro.create(name, 392);
        FAIL() << "expected zException";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "No such file or directory");
    }
    EXPECT_FALSE(ro.created);
    EXPECT_FALSE(ro.isMapped());
}

TEST_F(ZShmTest, ReaderRefusesABlockNotYetSized)
{
    // A writer between its create and its resize: the object exists with 0 bytes.
    int fd = shm_open(posix.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ZShmReadOnly ro;
    EXPECT_THROW(ro.create(name, 392), zException);
    EXPECT_FALSE(ro.created);
    EXPECT_THROW(ro.create(name, 0), zException);

    // A short block is refused too instead of faulting at the first read.
    ASSERT_EQ(ftruncate(fd, 100), 0);
    try {
        ro.create(name, 392);
        FAIL() << "expected zException";
    } catch (const zException& e) {
        EXPECT_NE(e.message.find("100"), std::string::npos) << e.message;
    }
    EXPECT_FALSE(ro.created);

    // Once it is big enough the same object opens.
    ASSERT_EQ(ftruncate(fd, 392), 0);
    EXPECT_NO_THROW(ro.create(name, 392));
    EXPECT_TRUE(ro.created);
    ::close(fd);
}

TEST_F(ZShmTest, ReaderWithSizeZeroMapsTheCurrentSize)
{
    ZShmReadWrite rw;
    rw.create(name, 5000);
    ZShmReadOnly ro;
    ro.create(name, 0);
    EXPECT_EQ(ro.mappedSize(), 5000u);
}

TEST_F(ZShmTest, WriterResizesAnExistingBlock)
{
    {
        ZShmReadWrite big;
        big.create(name, 1000);
    }
    EXPECT_EQ(objectSize(), 1000);
    ZShmReadWrite rw;
    rw.create(name, 392);
    EXPECT_EQ(objectSize(), 392);
}

TEST_F(ZShmTest, WriterSetsPermissionsWhateverTheUmask)
{
    const mode_t old = umask(077);
    ZShmReadWrite rw;
    rw.create(name, 392);
    umask(old);
    int fd = shm_open(posix.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(ZShmTest, WriterWithSizeZeroThrows)
{
    ZShmReadWrite rw;
    EXPECT_THROW(rw.create(name, 0), zException);
    EXPECT_FALSE(rw.created);
}

TEST_F(ZShmTest, RepeatedCreateKeepsOneDescriptorAndOneMapping)
{
    ZShmReadWrite rw;
    rw.create(name, 392);
    const int before = openDescriptors();
    rw.create(name, 392);
    rw.create(name, 392);
    EXPECT_EQ(openDescriptors(), before);

    ZShmReadOnly ro;
    ro.create(name, 392);
    const int withReader = openDescriptors();
    ro.create(name, 392);
    EXPECT_EQ(openDescriptors(), withReader);
}

TEST_F(ZShmTest, DestructorKeepsTheObjectEraseRemovesIt)
{
    {
        ZShmReadWrite rw;
        rw.create(name, 392);
    }
    EXPECT_EQ(objectSize(), 392);
    ZShmBase::erase(name);
    EXPECT_EQ(objectSize(), -1);
    EXPECT_NO_THROW(ZShmBase::erase(name));
}

// Anyone may put a FIFO under the name while the writer is not running. The
// reader must not block in its open (a blocking open waits for a writer that
// never comes: SIGALRM ends the test then) and neither side may use it.
TEST_F(ZShmTest, AFifoUnderTheNameIsRefusedWithoutBlocking)
{
    const std::string path = "/dev/shm" + posix;
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    alarm(10);
    ZShmReadOnly ro;
    ZShmReadWrite rw;
    for (ZShmBase* shm : {static_cast<ZShmBase*>(&ro), static_cast<ZShmBase*>(&rw)}) {
        try {
            shm->create(name, 392);
            ADD_FAILURE() << "expected zException";
        } catch (const zException& e) {
            EXPECT_NE(e.message.find("not a regular file"), std::string::npos) << e.message;
        }
        EXPECT_FALSE(shm->created);
    }
    alarm(0);

    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
