// The shared URL table: its operations, opening and creating the file,
// refusing damaged files, and the bounded semaphore.
#include "common/ZMMapHash.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/ZUrlTableValidator.h"
#include "extension/url/ZUrlManager.h"
#include "tests/url/FakeServerVariables.h"
#include "tests/url/UrlTestEnv.h"

#include <gtest/gtest.h>

#include <boost/interprocess/exceptions.hpp>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <set>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using namespace std::chrono;
constexpr unsigned long kSize = 0x500000;

class UrlTableTest : public ::testing::Test {
protected:
    UrlTestEnv env;

    std::shared_ptr<ZNamedSemaphore> semaphore(milliseconds limit = milliseconds(2000))
    {
        return std::make_shared<ZNamedSemaphore>(env.semName, &env.log, limit);
    }

    void openTable(ZShmUrlHash& table, bool withSemaphore = true)
    {
        if (withSemaphore)
            table.setSemaphore(semaphore());
        ASSERT_TRUE(table.open(env.log, env.tableName, env.tmpDir, kSize));
    }

    int32_t heapUse() const
    {
        int32_t header[2] = {0, 0};
        std::ifstream in(env.tablePath(), std::ios::binary);
        in.read(reinterpret_cast<char*>(header), sizeof header);
        return header[1];
    }

    void writeFile(const std::string& bytes) const
    {
        std::ofstream out(env.tablePath(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
};

TEST_F(UrlTableTest, ValuesAreStoredAsDecimalText)
{
    ZShmUrlHash table;
    openTable(table);
    long out = 7;
    EXPECT_FALSE(table.value(L"/absent", out, true));
    EXPECT_EQ(7, out);
    EXPECT_FALSE(table.contains(L"/absent", true));

    table.update(L"/a", 0, true);
    EXPECT_TRUE(table.value(L"/a", out, true));
    EXPECT_EQ(0, out);
    const int32_t before = heapUse();
    table.update(L"/a", 1765500000, true);  // longer text: new space
    EXPECT_TRUE(table.value(L"/a", out, true));
    EXPECT_EQ(1765500000, out);
    EXPECT_EQ(before + 16, heapUse());
    table.update(L"/a", 5, true);           // shorter text: in place, no old bytes left
    EXPECT_TRUE(table.value(L"/a", out, false));
    EXPECT_EQ(5, out);
    table.update(L"/a", -42, false);
    EXPECT_TRUE(table.value(L"/a", out, true));
    EXPECT_EQ(-42, out);
    EXPECT_EQ(1u, table.size(true));

    table.update(L"/A", 1, true);           // no case folding
    EXPECT_EQ(2u, table.size(false));
    // Keys are stored as UTF-8.
    table.update(L"/caf\u00E9", 3, true);
    std::string reason;
    std::set<std::string> keys;
    ASSERT_EQ(ZUrlTableValidator::Result::Valid,
              ZUrlTableValidator::check(env.tablePath(), reason,
                                        [&](const std::string& k, const std::string&) { keys.insert(k); }))
        << reason;
    EXPECT_EQ(1u, keys.count("/caf\xC3\xA9"));

    // Another writer of the file left something that is not a number: read
    // as 0, said once per read, and mended by the next update.
    ZMMapHash raw;
    ASSERT_TRUE(raw.attach(env.tableName, env.tmpDir));
    for (const char* damaged : {"12x", "", "99999999999999999999", " 5"}) {
        ASSERT_TRUE(raw.insert("/d\n[ERROR] forged", damaged));
        out = 7;
        EXPECT_TRUE(table.valueKey("/d\n[ERROR] forged", out, true)) << damaged;
        EXPECT_EQ(0, out) << damaged;
    }
    EXPECT_EQ(4, env.countLines("Damaged value in the URL table for /d\\n[ERROR] forged taken as 0"));
    EXPECT_EQ(std::string::npos, env.logText().find("\n[ERROR] forged"));
    table.updateKey("/d\n[ERROR] forged", 8, true);
    EXPECT_TRUE(table.valueKey("/d\n[ERROR] forged", out, true));
    EXPECT_EQ(8, out);
}

TEST_F(UrlTableTest, EmptyKeyTakesNoSpace)
{
    ZShmUrlHash table;
    openTable(table);
    const int32_t before = heapUse();
    table.update(L"", 0, true);
    table.update(L"", 1765500000, false);
    EXPECT_EQ(before, heapUse());
    EXPECT_EQ(0u, table.size(true));
    EXPECT_FALSE(table.contains(L"", true));
}

TEST_F(UrlTableTest, FreshRunCreatesThenSecondWorkerAttaches)
{
    ZShmUrlHash first;
    openTable(first);
    const std::string display = env.tmpDir + "/" + env.tableName;
    EXPECT_EQ(1, env.countLines("[DBG1] Failed to attach shared memory: " + display + " . " +
                                std::strerror(ENOENT)));
    EXPECT_EQ(1, env.countLines("[DBG1] Opening shared memory " + display + " ... done"));
    first.update(L"/shared", 9, true);

    ZShmUrlHash second;
    openTable(second);
    EXPECT_EQ(1, env.countLines("Failed to attach"));
    EXPECT_EQ(2, env.countLines("[DBG1] Opening shared memory " + display + " ... done"));
    long out = 0;
    EXPECT_TRUE(second.value(L"/shared", out, true));
    EXPECT_EQ(9, out);

    struct stat st{};
    ASSERT_EQ(0, stat(env.tablePath().c_str(), &st));
    EXPECT_EQ(5246928, st.st_size);
}

TEST_F(UrlTableTest, UncreatableFileLeavesAnEmptyTable)
{
    ZShmUrlHash table;
    table.setSemaphore(semaphore());
    EXPECT_TRUE(table.open(env.log, env.tableName, env.installDir + "/no-such-dir", kSize));
    EXPECT_FALSE(table.isAttached());
    EXPECT_EQ(1, env.countLines("[ERROR] Failed to create shared memory:"));
    table.update(L"/a", 1, true);
    long out = 3;
    EXPECT_FALSE(table.value(L"/a", out, true));
    EXPECT_EQ(3, out);
    EXPECT_EQ(0u, table.size(true));
}

TEST_F(UrlTableTest, NoSemaphoreRunsUnlocked)
{
    ZShmUrlHash table;
    EXPECT_EQ(0u, table.size(true));
    openTable(table, false);
    table.update(L"/a", 1, true);
    EXPECT_EQ(1u, table.size(true));
}

TEST_F(UrlTableTest, DamagedFilesAreNotUsed)
{
    // A good table to damage in several ways.
    std::string good;
    {
        ZShmUrlHash table;
        openTable(table);
        table.update(L"/a", 1, true);
        table.update(L"/b", 2, true);
        std::ifstream in(env.tablePath(), std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto put32 = [](std::string& s, size_t pos, int32_t v) { std::memcpy(&s[pos], &v, 4); };
    auto put64 = [](std::string& s, size_t pos, int64_t v) { std::memcpy(&s[pos], &v, 8); };

    std::vector<std::pair<std::string, std::string>> cases;
    cases.emplace_back("empty file", std::string());
    cases.emplace_back("half written", good.substr(0, 1000));
    std::string zeros(good.size(), '\0');
    put32(zeros, 0, static_cast<int32_t>(good.size()));
    cases.emplace_back("laid out but never initialised", zeros);
    std::string magic = good;
    put32(magic, 8, 12345);
    cases.emplace_back("bad magic", magic);
    std::string count = good;
    put32(count, 16, 5);
    cases.emplace_back("wrong entry count", count);
    std::string wild = good;
    for (int b = 0; b < 503; ++b)
        put64(wild, 8 + 16 + 8 * b, 0x7fffffff0);
    cases.emplace_back("links out of the file", wild);
    std::string loop = good;
    // Make the first entry's next point at itself.
    for (int b = 0; b < 503; ++b) {
        int64_t head;
        std::memcpy(&head, &loop[8 + 16 + 8 * b], 8);
        if (head != -1) {
            put64(loop, static_cast<size_t>(8 + head), head);
            break;
        }
    }
    cases.emplace_back("chain loop", loop);
    {
        // A key longer than any worker stores: written by something else.
        ZMMapHash raw;
        ASSERT_TRUE(raw.attach(env.tableName, env.tmpDir));
        ASSERT_TRUE(raw.insert("/" + std::string(ZShmUrlHash::MAX_KEY_BYTES, 'k'), "1"));
        std::ifstream in(env.tablePath(), std::ios::binary);
        cases.emplace_back("over-long key", std::string(std::istreambuf_iterator<char>(in), {}));
    }

    for (const auto& c : cases) {
        writeFile(c.second);
        const int errorsBefore = env.countLines("[ERROR]");
        ZShmUrlHash table;
        table.setSemaphore(semaphore());
        EXPECT_TRUE(table.open(env.log, env.tableName, env.tmpDir, kSize));
        EXPECT_FALSE(table.isAttached()) << c.first;
        EXPECT_EQ(errorsBefore + 1, env.countLines("[ERROR]")) << c.first;
        EXPECT_EQ(0u, table.size(true)) << c.first;
        table.update(L"/c", 3, true);
        EXPECT_FALSE(table.contains(L"/a", true)) << c.first;
    }

    // Not a file at all: a FIFO (opening it for reading would block under the
    // lock, so the alarm ends a hang), a directory, a link to a good table.
    const std::string copy = env.tmpDir + "/good-copy";
    std::ofstream(copy, std::ios::binary) << good;
    const std::vector<std::pair<const char*, std::function<int()>>> others = {
        {"FIFO", [&] { return mkfifo(env.tablePath().c_str(), 0666); }},
        {"directory", [&] { return mkdir(env.tablePath().c_str(), 0755); }},
        {"link", [&] { return symlink(copy.c_str(), env.tablePath().c_str()); }},
    };
    for (const auto& other : others) {
        ::unlink(env.tablePath().c_str());
        ::rmdir(env.tablePath().c_str());
        ASSERT_EQ(0, other.second()) << other.first;
        alarm(10);
        ZShmUrlHash table;
        table.setSemaphore(semaphore());
        EXPECT_TRUE(table.open(env.log, env.tableName, env.tmpDir, kSize));
        alarm(0);
        EXPECT_FALSE(table.isAttached()) << other.first;
    }
    ::rmdir(env.tablePath().c_str());
    ::unlink(env.tablePath().c_str());

    writeFile(good);
    ZShmUrlHash table;
    openTable(table);
    EXPECT_TRUE(table.isAttached());
    EXPECT_EQ(2u, table.size(true));
}

// Touching a mapping past the end of its file raises SIGBUS: a table cut
// short while workers have it mapped is dropped before it is touched.
TEST_F(UrlTableTest, FileCutShortWhileMappedIsNoLongerUsed)
{
    ZShmUrlHash table;
    openTable(table);
    table.update(L"/a", 1, true);
    ZShmUrlHash other;
    openTable(other);
    ASSERT_EQ(0, truncate(env.tablePath().c_str(), 4096));

    long out = 0;
    EXPECT_EQ(0u, table.size(true));
    EXPECT_FALSE(table.value(L"/a", out, true));
    table.update(L"/b", 2, true);
    EXPECT_FALSE(table.contains(L"/b", false));
    EXPECT_FALSE(table.isAttached());
    EXPECT_FALSE(other.contains(L"/a", true));
    EXPECT_EQ(2, env.countLines("[ERROR] URL table " + env.tablePath() + " was cut to 4096 bytes"));
}

TEST_F(UrlTableTest, DestroyRemovesTheFile)
{
    {
        ZShmUrlHash table;
        openTable(table);
    }
    ZShmUrlHash::destroy(env.tableName, env.tmpDir);
    EXPECT_NE(0, access(env.tablePath().c_str(), F_OK));
    ZShmUrlHash::destroy(env.tableName, env.tmpDir);  // nothing there: no error
    EXPECT_EQ("UrlTableShm", ZShmUrlHash::getUrlShmName());
    EXPECT_EQ("UrlTableSem", ZShmUrlHash::getUrlShmLockerName());
}

TEST_F(UrlTableTest, LockFileThatIsNoRegularFileRemovesNothingAndNeverHangs)
{
    writeFile("kept");
    const std::string lock = ZShmUrlHash::lockPath(env.tableName, env.tmpDir);
    ASSERT_EQ(0, mkfifo(lock.c_str(), 0444));
    // In a child bounded by an alarm, as a user that may read the FIFO but
    // not write it: opening a FIFO for reading only blocks.
    ASSERT_EQ(0, chmod(env.installDir.c_str(), 0755));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(5);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        _exit(ZShmUrlHash::removeLeftoversUnlessInUse(env.tableName, env.tmpDir, env.semName) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(0, access(env.tablePath().c_str(), F_OK));
    ::unlink(lock.c_str());
}

// ---- the semaphore -----------------------------------------------------------

// A holder killed inside its critical section (SIGKILL, the OOM killer) left
// the semaphore taken until the server restarted: every worker then waited out
// the limit and ran without the table. It is taken over once, after one wait.
TEST_F(UrlTableTest, SemaphoreOfAHolderThatEndedIsTakenOver)
{
    ZShmUrlHash table;
    table.setSemaphore(semaphore(milliseconds(300)));
    ASSERT_TRUE(table.open(env.log, env.tableName, env.tmpDir, kSize));
    table.update(L"/a", 1, true);

    // Killed holding it as a worker does, then as one that takes the
    // semaphore alone (an older build beside this one).
    for (const bool withLock : {true, false}) {
        SCOPED_TRACE(withLock ? "holder with the lock" : "holder of the semaphore alone");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (withLock) {
                ZNamedSemaphore own(env.semName, nullptr);
                if (!own.wait())
                    _exit(1);
            } else {
                sem_t* s = sem_open(env.semName.c_str(), 0);
                if (s == SEM_FAILED || sem_wait(s) != 0)
                    _exit(1);
            }
            raise(SIGKILL);
            _exit(2);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status));

        const auto start = steady_clock::now();
        long out = 0;
        EXPECT_TRUE(table.value(L"/a", out, true));
        const auto waited = steady_clock::now() - start;
        EXPECT_GE(waited, milliseconds(290));
        EXPECT_LT(waited, milliseconds(300 + 1000));
        // Given back once: free again, and taken at once.
        sem_t* s = sem_open(env.semName.c_str(), 0);
        ASSERT_NE(SEM_FAILED, s);
        int value = -1;
        sem_getvalue(s, &value);
        sem_close(s);
        EXPECT_EQ(1, value);
        const auto again = steady_clock::now();
        table.update(L"/b", 2, true);
        EXPECT_LT(steady_clock::now() - again, milliseconds(100));
    }
    EXPECT_EQ(2, env.countLines("[WARNING] Semaphore " + env.semName + " was left taken by a process that ended"));
    EXPECT_EQ(0, env.countLines("[ERROR]"));
    EXPECT_EQ(2u, table.size(true));
}

// A live holder is waited for, never taken over, however long it holds.
TEST_F(UrlTableTest, AfterTheBackOffPeriodTheSemaphoreIsWaitedForAgain)
{
    auto holder = semaphore();  // as another worker: a handle of its own
    auto sem = std::make_shared<ZNamedSemaphore>(env.semName, &env.log, milliseconds(100),
                                                 milliseconds(400));
    ASSERT_TRUE(holder->wait());

    EXPECT_FALSE(sem->wait());  // waits 100 ms, then backs off
    auto start = steady_clock::now();
    EXPECT_FALSE(sem->wait());  // only tried
    EXPECT_LT(steady_clock::now() - start, milliseconds(50));
    EXPECT_EQ(1, env.countLines("[ERROR] Timed out waiting for semaphore"));

    std::this_thread::sleep_for(milliseconds(450));
    start = steady_clock::now();
    EXPECT_FALSE(sem->wait());  // the back-off is over: a full wait again
    EXPECT_GE(steady_clock::now() - start, milliseconds(90));
    EXPECT_EQ(2, env.countLines("[ERROR] Timed out waiting for semaphore"));

    // Freed during a back-off: the first try takes it and normal waits resume.
    EXPECT_TRUE(holder->post());
    EXPECT_TRUE(sem->wait());
    EXPECT_FALSE(sem->wait());  // not twice by one handle
    EXPECT_TRUE(sem->post());
    EXPECT_TRUE(sem->wait());
    EXPECT_TRUE(sem->post());
    EXPECT_EQ(0, env.countLines("[WARNING]"));
    sem_t* s = sem_open(env.semName.c_str(), 0);
    int value = -1;
    sem_getvalue(s, &value);
    sem_close(s);
    EXPECT_EQ(1, value);
}

TEST_F(UrlTableTest, OpenThatCannotTakeTheLockReportsIt)
{
    auto sem = semaphore(milliseconds(100));
    ASSERT_TRUE(sem->wait());
    ZShmUrlHash table;
    table.setSemaphore(sem);
    EXPECT_FALSE(table.open(env.log, env.tableName, env.tmpDir, kSize));
    EXPECT_FALSE(table.isAttached());
    EXPECT_EQ(1, env.countLines("[ERROR] Failed to open shared memory:"));
    sem->post();
    EXPECT_TRUE(table.open(env.log, env.tableName, env.tmpDir, kSize));
    EXPECT_TRUE(table.isAttached());
}

void onSignal(int) {}

TEST_F(UrlTableTest, SignalsDoNotEndTheWait)
{
    struct sigaction sa{};
    struct sigaction old{};
    sa.sa_handler = onSignal;  // no SA_RESTART: the wait sees EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

    auto holder = semaphore();
    auto sem = semaphore(milliseconds(3000));
    ASSERT_TRUE(holder->wait());
    const pthread_t waiter = pthread_self();
    std::thread helper([&] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(milliseconds(40));
            pthread_kill(waiter, SIGUSR1);
        }
        holder->post();
    });
    const auto start = steady_clock::now();
    {
        ZShmUrlHash::ZSemLocker locker(sem);
        EXPECT_TRUE(locker.owns());
    }
    const auto waited = steady_clock::now() - start;
    helper.join();
    EXPECT_GE(waited, milliseconds(150));
    EXPECT_LT(waited, milliseconds(2500));
    EXPECT_EQ(0, env.countLines("[ERROR]"));

    // Signals alone do not extend the wait beyond its limit either.
    auto shortSem = semaphore(milliseconds(300));
    ASSERT_TRUE(holder->wait());
    std::atomic<bool> stop{false};
    std::thread pester([&] {
        while (!stop) {
            std::this_thread::sleep_for(milliseconds(20));
            pthread_kill(waiter, SIGUSR1);
        }
    });
    const auto start2 = steady_clock::now();
    EXPECT_FALSE(shortSem->wait());
    const auto waited2 = steady_clock::now() - start2;
    stop = true;
    pester.join();
    EXPECT_LT(waited2, milliseconds(1500));
    EXPECT_EQ(1, env.countLines("[ERROR] Timed out waiting for semaphore"));
    holder->post();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(UrlTableTest, SemaphoreIsCreatedOnceAndShared)
{
    auto a = semaphore();
    auto b = semaphore();  // opens the existing one
    ASSERT_TRUE(a->wait());
    sem_t* s = sem_open(env.semName.c_str(), 0);
    ASSERT_NE(SEM_FAILED, s);
    int value = -1;
    sem_getvalue(s, &value);
    EXPECT_EQ(0, value);
    EXPECT_TRUE(a->post());
    sem_getvalue(s, &value);
    EXPECT_EQ(1, value);
    sem_close(s);
    EXPECT_EQ(env.semName, b->name());
    EXPECT_EQ("/UrlTableSem", ZNamedSemaphore::posixNameOf("UrlTableSem"));
    EXPECT_EQ("/UrlTableSem", ZNamedSemaphore::posixNameOf("/UrlTableSem"));
}

TEST_F(UrlTableTest, FailedReleaseIsLoggedNotThrown)
{
    // A semaphore already at its largest value cannot be posted.
    sem_t* s = sem_open(env.semName.c_str(), O_CREAT | O_EXCL, 0644, static_cast<unsigned>(SEM_VALUE_MAX));
    ASSERT_NE(SEM_FAILED, s);
    auto sem = semaphore();
    EXPECT_FALSE(sem->post());
    EXPECT_EQ(1, env.countLines("[ERROR] Failed to release semaphore " + env.semName));
    {
        ZShmUrlHash::ZSemLocker locker(sem);
        EXPECT_TRUE(locker.owns());
        sem_post(s);  // someone else fills it up again while the locker holds it
    }                 // the locker's release fails quietly
    EXPECT_EQ(2, env.countLines("[ERROR] Failed to release semaphore"));
    sem_close(s);
}

// Any local user can make the semaphore's file before the server starts. What
// sem_open would map of it (a short file, a stranger's bytes, a FIFO) must
// never reach the futex: such a file is refused, naming it and its owner.
TEST_F(UrlTableTest, SemaphoreFileThatCannotBeTrustedIsRefused)
{
    const std::string path = ZNamedSemaphore::filePathOf(env.semName);
    const uid_t nobody = 65534;
    auto plainFile = [&](size_t size, mode_t mode, uid_t owner) {
        std::ofstream(path, std::ios::binary) << std::string(size, '\x5a');
        ASSERT_EQ(0, chmod(path.c_str(), mode));
        ASSERT_EQ(0, chown(path.c_str(), owner, static_cast<gid_t>(-1)));
    };
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"empty, a stranger's", [&] { plainFile(0, 0666, nobody); }, "owned by uid 65534"},
        {"sem-sized, a stranger's", [&] { plainFile(sizeof(sem_t), 0666, nobody); }, "owned by uid 65534"},
        {"ours, writable by all", [&] { plainFile(sizeof(sem_t), 0666, geteuid()); }, "mode 0666"},
        {"ours, wrong size", [&] { plainFile(4096, 0644, geteuid()); }, "4096 bytes long"},
        {"a FIFO", [&] { ASSERT_EQ(0, mkfifo(path.c_str(), 0600)); }, "not a regular file"},
        {"a directory", [&] { ASSERT_EQ(0, mkdir(path.c_str(), 0700)); }, "Is a directory"},
        {"a link", [&] { ASSERT_EQ(0, symlink("/dev/null", path.c_str())); }, "Too many levels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        try {
            ZNamedSemaphore sem(env.semName, &env.log, milliseconds(100));
            ADD_FAILURE() << "accepted";
        } catch (const ZNamedSemaphore::Error& e) {
            EXPECT_TRUE(e.lasting());
            EXPECT_NE(std::string::npos, std::string(e.what()).find(path)) << e.what();
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << e.what();
        }
        ::unlink(path.c_str());
        ::rmdir(path.c_str());
    }

    // The URL manager goes on without the table, and says so once.
    plainFile(0, 0666, nobody);
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    manager.setSharedNames(env.semName, env.tableName, env.tmpDir);
    manager.initialize(env.log);
    manager.initialize(env.log);
    EXPECT_TRUE(manager.isInitialized());
    EXPECT_FALSE(manager.getUrlTable().isAttached());
    EXPECT_EQ(1, env.countLines("[ERROR] Semaphore " + env.semName + " is not used: " + path));
    EXPECT_NE(0, access(env.tablePath().c_str(), F_OK));
    ::unlink(path.c_str());
}

TEST_F(UrlTableTest, UnopenableSemaphoreRaises)
{
    EXPECT_THROW(ZNamedSemaphore("/bad/name/with/slashes", &env.log), boost::interprocess::interprocess_exception);
}

} // namespace
