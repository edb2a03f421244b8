#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

// Strips the "[dd/mm/YYYY - HH:MM:SS pPID] " prefix after checking its shape.
std::string body(const std::string& line)
{
    const std::regex stamp("^\\[\\d{2}/\\d{2}/\\d{4} - \\d{2}:\\d{2}:\\d{2} p" + std::to_string(getpid()) + "\\] ");
    std::smatch m;
    if (!std::regex_search(line, m, stamp))
        return "<no timestamp: " + line + ">";
    return m.suffix();
}

// Captures what goes to standard error (fd 2) while alive.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path)
    {
        fflush(stderr);
        saved = dup(2);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    void restore()
    {
        if (saved >= 0) {
            fflush(stderr);
            dup2(saved, 2);
            ::close(saved);
            saved = -1;
        }
    }

private:
    int saved = -1;
};

class VornLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logPath = tmp.file("test.log");
        log.path = std::wstring(logPath.begin(), logPath.end());
        log.open();
    }
    std::vector<std::string> written() { return lines(TempDir::readFile(logPath)); }

    TempDir tmp;
    std::string logPath;
    VornLog log;
};

} // namespace

TEST_F(VornLogTest, ConstructedState)
{
    VornLog fresh;
    EXPECT_EQ(fresh.level, 0);
    EXPECT_EQ(fresh.curLevel, 4);
    EXPECT_EQ(fresh.file, nullptr);
    EXPECT_TRUE(fresh.path.empty());
    EXPECT_TRUE(fresh.buffer.empty());
}

TEST_F(VornLogTest, LevelFilteringKeepsTimestampOnEveryWrittenLine)
{
    log.level = 3;
    log.logDbg2("hidden");
    log.logError("e");
    log.logWarning("w");
    log.logDbg2("hidden again");
    log.logDbg1("Starting");
    const auto out = written();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(body(out[0]), "[ERROR] e");
    EXPECT_EQ(body(out[1]), "[WARNING] w");
    EXPECT_EQ(body(out[2]), "[DBG1] Starting");
}

TEST_F(VornLogTest, NegativeLevelWritesNothing)
{
    log.level = -1;
    log.logError("nothing");
    log.logSystem("nothing");
    EXPECT_TRUE(TempDir::readFile(logPath).empty());
}

TEST_F(VornLogTest, StreamingFormFollowsTheDocumentedPattern)
{
    log.level = 4;
    log.curLevel = VornLog::LEVEL_DBG1;
    const std::wstring ts = log.now();
    ASSERT_FALSE(ts.empty());
    log.append(ts, VornLog::LEVEL_DBG1);
    log << VornLog::TAG_DBG1 << "a" << std::wstring(L"b") << 7 << endl;
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(body(out[0]), "[DBG1] a b 7");
}

TEST_F(VornLogTest, NowIsEmptyWhenTheMessageWillNotBeWritten)
{
    log.level = 1;
    log.curLevel = 3;
    EXPECT_TRUE(log.now().empty());
    log.curLevel = 1;
    EXPECT_FALSE(log.now().empty());
}

TEST_F(VornLogTest, EmptyPartStillAddsItsBlank)
{
    log.level = 4;
    log.logError(L"first", std::wstring(), L"third");
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(body(out[0]), "[ERROR] first  third");
}

TEST_F(VornLogTest, PartKinds)
{
    log.level = 4;
    const unsigned char byte = 65;
    log.logDbg2(byte, true, false, -5, -6L, 7u, 8UL, 9ULL, static_cast<signed char>(-3),
                static_cast<short>(-2), static_cast<unsigned short>(65535), -9000000000LL);
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(body(out[0]), "[DBG2] 65 1 0 -5 -6 7 8 9 -3 -2 65535 -9000000000");
}

TEST_F(VornLogTest, LargeNumbersHaveNoGrouping)
{
    log.level = 4;
    log.logError(1234567, 18446744073709551615ULL);
    EXPECT_EQ(body(written().at(0)), "[ERROR] 1234567 18446744073709551615");
}

TEST_F(VornLogTest, NarrowPartsAreLatin1AndLinesAreUtf8)
{
    log.level = 4;
    log.logError("caf\xE9", std::string("\xFF"), std::wstring(L"\u20AC"));
    EXPECT_EQ(body(written().at(0)), "[ERROR] caf\xC3\xA9 \xC3\xBF \xE2\x82\xAC");
}

TEST_F(VornLogTest, UnencodableCharactersAreDroppedAndNulEndsTheLine)
{
    log.level = 4;
    std::wstring withSurrogate = L"a";
    withSurrogate.push_back(static_cast<wchar_t>(0xD800));
    withSurrogate += L"b";
    std::wstring withNul = L"x";
    withNul.push_back(L'\0');
    withNul += L"y";
    log.logError(withSurrogate);
    log.logError(withNul);
    const auto out = written();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(body(out[0]), "[ERROR] ab");
    EXPECT_EQ(body(out[1]), "[ERROR] x");
}

TEST_F(VornLogTest, UntrustedPartsCannotEndTheLine)
{
    log.level = 4;
    const std::string narrow = "/a\r\n[01/01/2026 - 00:00:00 p1] [ERROR] forged\x1B";
    const std::wstring wide = L"/b\t\x7F\u20AC";
    log.logError(VornLog::untrusted(narrow), VornLog::untrusted(wide));
    const auto out = written();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(body(out[0]), "[ERROR] /a\\r\\n[01/01/2026 - 00:00:00 p1] [ERROR] forged\\x1B /b\\t\\x7F\xE2\x82\xAC");
    EXPECT_EQ(VornLog::escaped(narrow), "/a\\r\\n[01/01/2026 - 00:00:00 p1] [ERROR] forged\\x1B");
}

TEST_F(VornLogTest, FlushOfEmptyBufferWritesNothing)
{
    log.level = 4;
    log.flush();
    log << endl;
    EXPECT_TRUE(TempDir::readFile(logPath).empty());
}

TEST_F(VornLogTest, CopiesShareTheStreamAndSurviveEachOther)
{
    log.level = 4;
    {
        VornLog copy(log);
        copy.level = 0;
        copy.logError("from copy");
        copy.logDbg1("filtered in copy");
    }
    log.logDbg1("from original");
    const auto out = written();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(body(out[0]), "[ERROR] from copy");
    EXPECT_EQ(body(out[1]), "[DBG1] from original");
}

TEST_F(VornLogTest, OpenAppendsToAnExistingFile)
{
    log.level = 4;
    log.logError("one");
    VornLog second;
    second.path = log.path;
    second.open();
    second.logError("two");
    const auto out = written();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(body(out[1]), "[ERROR] two");
}

// The log lives in every worker of the web server: programs the scripts start
// (exec, proc_open, mail) must not inherit its descriptor.
TEST_F(VornLogTest, LogDescriptorIsNotInheritedByStartedPrograms)
{
    ASSERT_NE(log.file, nullptr);
    const int flags = fcntl(fileno(log.file), F_GETFD);
    ASSERT_GE(flags, 0);
    EXPECT_NE(flags & FD_CLOEXEC, 0);
}

TEST(VornLogStandalone, OpenFailureThrowsAndLinesGoToStderr)
{
    TempDir tmp;
    VornLog log;
    log.path = L"/nonexistent-dir-for-vorn-test/x.log";
    try {
        log.open();
        FAIL() << "open should have thrown";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Log open error: No such file or directory");
    }
    EXPECT_EQ(log.file, nullptr);

    const std::string errPath = tmp.file("stderr.txt");
    {
        StderrCapture capture(errPath);
        log.logError("to", "stderr");
    }
    const auto out = lines(TempDir::readFile(errPath));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(body(out[0]), "[ERROR] to stderr");
}

// A FIFO nobody reads takes 64 KiB of lines, then blocks every write: only a
// regular file, or a link to one, is used as the log.
TEST(VornLogStandalone, OnlyARegularFileIsOpened)
{
    TempDir tmp;
    const std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const std::string fifoLink = tmp.file("fifo-link");
    ASSERT_EQ(symlink(fifo.c_str(), fifoLink.c_str()), 0);
    auto expectRefused = [](const std::string& p) {
        VornLog log;
        log.path = std::wstring(p.begin(), p.end());
        try {
            log.open();
            ADD_FAILURE() << p << " opened";
        } catch (const zException& e) {
            EXPECT_EQ(e.message, "Log open error: not a regular file") << p;
        }
        EXPECT_EQ(log.file, nullptr);
    };
    // With a reader that never reads, then with none.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    expectRefused(fifo);
    expectRefused(fifoLink);
    ::close(reader);
    expectRefused(fifo);
    expectRefused(fifoLink);

    const std::string target = tmp.file("target.log");
    const std::string link = tmp.file("link.log");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    VornLog log;
    log.path = std::wstring(link.begin(), link.end());
    log.open();
    log.logError("through the link");
    EXPECT_EQ(body(lines(TempDir::readFile(target)).at(0)), "[ERROR] through the link");
}

TEST(VornLogStandalone, SystemLinesAreLevelZero)
{
    TempDir tmp;
    VornLog log;
    const std::string p = tmp.file("s.log");
    log.path = std::wstring(p.begin(), p.end());
    log.open();
    log.level = 0;
    log.logSystem("Started");
    EXPECT_EQ(body(lines(TempDir::readFile(p)).at(0)), "[SYSTEM] Started");
}

TEST(VornLogStandalone, EndlResolvesBesideTheStandardOne)
{
    using namespace std;
    TempDir tmp;
    VornLog log;
    const std::string p = tmp.file("e.log");
    log.path = std::wstring(p.begin(), p.end());
    log.open();
    log.level = 4;
    log.curLevel = 4;
    log << L"x" << endl;
    EXPECT_EQ(TempDir::readFile(p), "x\n");
}

TEST(VornLogStandalone, LongLinesOfConcurrentProcessesDoNotInterleave)
{
    TempDir tmp;
    const std::string p = tmp.file("many.log");
    constexpr int PROCS = 4;
    constexpr int LINES = 40;
    const size_t width = 20000; // several times a stream buffer
    std::vector<pid_t> pids;
    // The parent has read (and kept) its own id before forking: each child's
    // lines must still carry the child's id.
    ASSERT_EQ(vorn::getProcessID(), getpid());
    for (int i = 0; i < PROCS; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            VornLog log;
            log.path = std::wstring(p.begin(), p.end());
            try {
                log.open();
            } catch (...) {
                _exit(2);
            }
            log.level = 4;
            const std::string fill(width, static_cast<char>('a' + i));
            for (int n = 0; n < LINES; ++n)
                log.logError(fill);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        for (int waited = 0; waited < 3000 && waitpid(pid, &status, WNOHANG) == 0; ++waited)
            usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto out = lines(TempDir::readFile(p));
    ASSERT_EQ(out.size(), static_cast<size_t>(PROCS * LINES));
    const std::regex stamp("^\\[\\d{2}/\\d{2}/\\d{4} - \\d{2}:\\d{2}:\\d{2} p(\\d+)\\] \\[ERROR\\] ");
    for (const std::string& l : out) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(l, m, stamp)) << l.substr(0, 60);
        const std::string b = m.suffix();
        ASSERT_EQ(b.size(), width);
        EXPECT_EQ(b.find_first_not_of(b[0]), std::string::npos);
        const int writer = b[0] - 'a';
        ASSERT_TRUE(writer >= 0 && writer < PROCS);
        EXPECT_EQ(m[1].str(), std::to_string(pids[static_cast<size_t>(writer)]));
    }
}
