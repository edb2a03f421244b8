#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TempDir.h"
#include "common/VornUtils.h"

using namespace vorn;

namespace {
timeval tv(long s, long us)
{
    timeval t;
    t.tv_sec = s;
    t.tv_usec = us;
    return t;
}
} // namespace

TEST(VornUtilsText, Latin1Reading)
{
    EXPECT_EQ(toUtf(std::string("\xE9")), std::wstring(1, static_cast<wchar_t>(0xE9)));
    EXPECT_EQ(toUtf(static_cast<const char*>(nullptr)), L"");
    std::string all;
    for (int i = 1; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::wstring wide = toUtf(all);
    ASSERT_EQ(wide.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(static_cast<uint32_t>(wide[i]), i + 1);
}

TEST(VornUtilsText, Utf8Writing)
{
    EXPECT_EQ(fromUtf(std::wstring(1, 0xE9)), "\xC3\xA9");
    EXPECT_EQ(fromUtf(std::wstring(1, 0x20AC)), "\xE2\x82\xAC");
    EXPECT_EQ(fromUtf(std::wstring(1, static_cast<wchar_t>(0x1F600))), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fromUtf(std::wstring(1, 0x7F)), "\x7F");
    EXPECT_EQ(fromUtf(std::wstring(1, 0x80)), "\xC2\x80");
    EXPECT_EQ(fromUtf(std::wstring(1, 0x7FF)), "\xDF\xBF");
    EXPECT_EQ(fromUtf(std::wstring(1, 0x800)), "\xE0\xA0\x80");
    EXPECT_EQ(fromUtf(std::wstring(1, 0xFFFF)), "\xEF\xBF\xBF");
    EXPECT_EQ(fromUtf(std::wstring(1, static_cast<wchar_t>(0x10FFFF))), "\xF4\x8F\xBF\xBF");
    std::wstring bad = L"a";
    bad.push_back(static_cast<wchar_t>(0xD800));
    bad.push_back(static_cast<wchar_t>(0xDFFF));
    bad.push_back(static_cast<wchar_t>(0x110000));
    bad.push_back(static_cast<wchar_t>(-1));
    bad += L"b";
    EXPECT_EQ(fromUtf(bad), "ab");
}

TEST(VornUtilsText, Utf8Decoding)
{
    EXPECT_EQ(fromUtf8(""), L"");
    EXPECT_EQ(fromUtf8("abc"), L"abc");
    EXPECT_EQ(fromUtf8("\xC3\xA9\xE2\x82\xAC"), std::wstring({wchar_t(0xE9), wchar_t(0x20AC)}));
    EXPECT_EQ(fromUtf8("\xF0\x9F\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    // Round trip of every kind of scalar value.
    std::wstring sample;
    for (uint32_t v : {0x1u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0x10000u, 0x10FFFFu})
        sample.push_back(static_cast<wchar_t>(v));
    EXPECT_EQ(fromUtf8(fromUtf(sample)), sample);
}

TEST(VornUtilsText, Utf8DecodingReplacesMalformedInput)
{
    const wchar_t R = 0xFFFD;
    EXPECT_EQ(fromUtf8("\xE9"), std::wstring(1, R));                       // Latin-1 byte
    EXPECT_EQ(fromUtf8("a\xC3"), std::wstring({L'a', R}));                 // truncated at end
    EXPECT_EQ(fromUtf8("\xC3" "b"), std::wstring({R, L'b'}));              // bad continuation keeps next char
    EXPECT_EQ(fromUtf8("\xC0\xAF"), std::wstring({R, R}));                 // overlong
    EXPECT_EQ(fromUtf8("\xE0\x80\xAF"), std::wstring({R, R, R}));          // overlong 3-byte
    EXPECT_EQ(fromUtf8("\xED\xA0\x80"), std::wstring({R, R, R}));          // surrogate
    EXPECT_EQ(fromUtf8("\xF4\x90\x80\x80"), std::wstring({R, R, R, R}));   // above U+10FFFF
    EXPECT_EQ(fromUtf8("\xFF" "x"), std::wstring({R, L'x'}));
}

TEST(VornUtilsStrings, Trim)
{
    const std::string set = "\n\r \t";
    std::string blanks = " \t\r\n ";
    strTrim(blanks, set);
    EXPECT_EQ(blanks, "");
    std::string plain = "abc";
    strTrim(plain, set);
    EXPECT_EQ(plain, "abc");
    std::string both = " \ta b\r\n";
    strTrim(both, set);
    EXPECT_EQ(both, "a b");
    std::wstring wide = L"  x  ";
    strRTrim(wide, L" ");
    EXPECT_EQ(wide, L"  x");
    strLTrim(wide, L" ");
    EXPECT_EQ(wide, L"x");
    std::string unchanged = "  y ";
    strTrim(unchanged, "");
    EXPECT_EQ(unchanged, "  y ");
}

TEST(VornUtilsStrings, ReplaceFirstOnly)
{
    std::string s = "a-b-c";
    EXPECT_TRUE(strReplace(s, "-", "+"));
    EXPECT_EQ(s, "a+b-c");
    EXPECT_FALSE(strReplace(s, "x", "y"));
    EXPECT_EQ(s, "a+b-c");
    EXPECT_TRUE(strReplace(s, "", "<"));
    EXPECT_EQ(s, "<a+b-c");
    std::wstring w = L"$(INSTALL_DIR)/log/$(INSTALL_DIR)";
    EXPECT_TRUE(strReplace(w, L"$(INSTALL_DIR)", L"/opt/q"));
    EXPECT_EQ(w, L"/opt/q/log/$(INSTALL_DIR)");
}

TEST(VornUtilsStrings, PrefixAndSuffix)
{
    EXPECT_TRUE(strStartsWith(std::string("abc"), std::string("ab")));
    EXPECT_TRUE(strStartsWith(std::string("abc"), std::string("")));
    EXPECT_FALSE(strStartsWith(std::string("abc"), std::string("bc")));
    EXPECT_FALSE(strStartsWith(std::string("ab"), std::string("abc")));
    EXPECT_TRUE(strStartsWith(std::wstring(L"abc"), std::wstring(L"a")));
    EXPECT_FALSE(strEndsWith("a", "ba"));
    EXPECT_FALSE(strEndsWith("", "a"));
    EXPECT_TRUE(strEndsWith("abc", "abc"));
    EXPECT_TRUE(strEndsWith("abc", ""));
    EXPECT_TRUE(strEndsWith("x.ini", ".ini"));
    EXPECT_FALSE(strEndsWith("x.ini.bak", ".ini"));
    EXPECT_TRUE(strEndsWith("a.ini.ini", ".ini"));
}

TEST(VornUtilsStrings, CaseConversion)
{
    std::string n = "MySQLi_Query";
    toLower(n);
    EXPECT_EQ(n, "mysqli_query");
    toUpper(n);
    EXPECT_EQ(n, "MYSQLI_QUERY");
    std::wstring w = L"PDO::Query";
    w.push_back(static_cast<wchar_t>(0x0100)); // above U+00FF: unchanged
    toLower(w);
    EXPECT_EQ(w.substr(0, 10), L"pdo::query");
    EXPECT_EQ(static_cast<uint32_t>(w[10]), 0x0100u);
    toUpper(w);
    EXPECT_EQ(w.substr(0, 10), L"PDO::QUERY");
}

TEST(VornUtilsTime, TimeDiff)
{
    timeval r;
    timeDiff(tv(1, 900000), tv(2, 100000), r);
    EXPECT_EQ(r.tv_sec, 0);
    EXPECT_EQ(r.tv_usec, 200000);
    timeDiff(tv(0, 0), tv(0, 1500000), r);
    EXPECT_EQ(r.tv_sec, 1);
    EXPECT_EQ(r.tv_usec, 500000);
    timeDiff(tv(0, 0), tv(0, 1000000), r);
    EXPECT_EQ(r.tv_sec, 0);
    EXPECT_EQ(r.tv_usec, 1000000);
    timeDiff(tv(1, 500000), tv(1, 100000), r);
    EXPECT_EQ(r.tv_sec, -1);
    EXPECT_EQ(r.tv_usec, 600000);
}

TEST(VornUtilsTime, Conversions)
{
    EXPECT_EQ(toMilliseconds(tv(1, 999999)), 1999u);
    EXPECT_EQ(toMicroseconds(tv(1, 999999)), 1999999u);
    EXPECT_EQ(toMilliseconds(tv(1700000000, 123456)), 1700000000123ULL);
}

TEST(VornUtilsTime, ClockSteppedBackGivesZeroNotAHugeDuration)
{
    timeval r;
    timeDiff(tv(100, 500000), tv(99, 0), r);
    EXPECT_EQ(toMilliseconds(r), 0u);
    EXPECT_EQ(toMicroseconds(r), 0u);
    EXPECT_EQ(toMilliseconds(tv(-1, 600000)), 0u); // -400 ms
    EXPECT_EQ(toMilliseconds(tv(0, -1)), 0u);
}

TEST(VornUtilsTime, ProcessAndClock)
{
    EXPECT_EQ(getProcessID(), getpid());
    EXPECT_EQ(getParentProcessID(), getppid());
    timeval t;
    EXPECT_EQ(getTimeOfDay(&t), 0);
    EXPECT_GT(t.tv_sec, 1600000000);
}

TEST(VornUtilsTime, ForkedChildSeesItsOwnProcessId)
{
    // The id is kept after the first call; a child forked afterwards must
    // still report its own id, and so must a grandchild.
    const pid_t parent = getProcessID();
    ASSERT_EQ(parent, getpid());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        const pid_t mine = getProcessID();
        if (mine != getpid() || mine == parent)
            code = 1;
        else if (getProcessID() != mine)
            code = 2;
        else {
            const pid_t grandchild = fork();
            if (grandchild < 0) {
                code = 3;
            } else if (grandchild == 0) {
                const pid_t g = getProcessID();
                _exit(g == getpid() && g != mine && g != parent ? 0 : 4);
            } else {
                int st = 0;
                if (waitpid(grandchild, &st, 0) != grandchild || !WIFEXITED(st))
                    code = 5;
                else
                    code = WEXITSTATUS(st);
            }
        }
        _exit(code);
    }

    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "forked child did not finish";
    }
    ASSERT_EQ(done, child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent keeps its own id.
    EXPECT_EQ(getProcessID(), parent);
}

TEST(VornUtilsUrl, FullUrl)
{
    const Uri u = parseURL(L"http://example.com:8080/a/b?x=1&y=2");
    EXPECT_EQ(u.protocol, L"http");
    EXPECT_EQ(u.host, L"example.com");
    EXPECT_EQ(u.port, L"8080");
    EXPECT_EQ(u.path, L"/a/b");
    EXPECT_EQ(u.collapsedPath, L"/a/b");
    EXPECT_EQ(u.query, L"?x=1&y=2");
}

TEST(VornUtilsUrl, Shapes)
{
    Uri u = parseURL(L"");
    EXPECT_TRUE(u.query.empty() && u.path.empty() && u.collapsedPath.empty() && u.protocol.empty() &&
                u.host.empty() && u.port.empty());

    u = parseURL(L"/index.php?a=b");
    EXPECT_EQ(u.protocol, L"");
    EXPECT_EQ(u.host, L"");
    EXPECT_EQ(u.port, L"");
    EXPECT_EQ(u.path, L"/index.php");
    EXPECT_EQ(u.query, L"?a=b");

    u = parseURL(L"host:81/p");
    EXPECT_EQ(u.protocol, L"");
    EXPECT_EQ(u.host, L"host");
    EXPECT_EQ(u.port, L"81");
    EXPECT_EQ(u.path, L"/p");

    u = parseURL(L"http://");
    EXPECT_EQ(u.protocol, L"");
    EXPECT_EQ(u.host, L"http");
    EXPECT_EQ(u.port, L"");
    EXPECT_EQ(u.path, L"//");

    u = parseURL(L"http://h/a:b");
    EXPECT_EQ(u.host, L"h");
    EXPECT_EQ(u.port, L"");
    EXPECT_EQ(u.path, L"/a:b");

    u = parseURL(L"http://h:99");
    EXPECT_EQ(u.host, L"h");
    EXPECT_EQ(u.port, L"99");
    EXPECT_EQ(u.path, L"");

    u = parseURL(L"http://h?q");
    EXPECT_EQ(u.host, L"h");
    EXPECT_EQ(u.path, L"");
    EXPECT_EQ(u.query, L"?q");

    u = parseURL(L"/p?a=1?b=2");
    EXPECT_EQ(u.query, L"?a=1?b=2");
    EXPECT_EQ(u.path, L"/p");

    u = parseURL(L"HTTPS://H");
    EXPECT_EQ(u.protocol, L"HTTPS");
    EXPECT_EQ(u.host, L"H");
}

TEST(VornUtilsUrl, DelimitersOutOfOrderNeverRunBackwards)
{
    Uri u = parseURL(L"a?b");
    EXPECT_EQ(u.host, L"a");
    EXPECT_EQ(u.query, L"?b");
    EXPECT_EQ(u.path, L"");

    u = parseURL(L"http://h?x=/a");
    EXPECT_EQ(u.protocol, L"http");
    EXPECT_EQ(u.host, L"h");
    EXPECT_EQ(u.path, L"");
    EXPECT_EQ(u.query, L"?x=/a");

    u = parseURL(L"/r?u=http://b/c");
    EXPECT_EQ(u.protocol, L"");
    EXPECT_EQ(u.host, L"");
    EXPECT_EQ(u.path, L"/r");
    EXPECT_EQ(u.query, L"?u=http://b/c");

    u = parseURL(L"h?p=:1");
    EXPECT_EQ(u.host, L"h");
    EXPECT_EQ(u.port, L"");
    EXPECT_EQ(u.query, L"?p=:1");

    u = parseURL(L"?x://y/z");
    EXPECT_EQ(u.protocol, L"");
    EXPECT_EQ(u.host, L"");
    EXPECT_EQ(u.path, L"");
    EXPECT_EQ(u.query, L"?x://y/z");

    // Nothing ever throws, whatever the order of "/", ":", "?".
    const std::wstring chars = L"/:?a";
    for (size_t a = 0; a < 4; ++a)
        for (size_t b = 0; b < 4; ++b)
            for (size_t c = 0; c < 4; ++c)
                for (size_t d = 0; d < 4; ++d)
                    for (size_t e = 0; e < 4; ++e) {
                        const std::wstring s{chars[a], chars[b], chars[c], chars[d], chars[e]};
                        EXPECT_NO_THROW(parseURL(s)) << std::string(s.begin(), s.end());
                    }
}

TEST(VornUtilsSystem, ResolveFqdnFromResolverFile)
{
    TempDir tmp;
    const std::string f = tmp.file("resolv.conf");
    TempDir::writeFile(f, "# comment\nnameserver 1.2.3.4\nsearch a.example b.example  \ndomain c.example\n");
    EXPECT_EQ(resolveFQDN(L"web1", f), L"web1.a.example b.example");

    TempDir::writeFile(f, "  domain skipped.example\ndomain\n");
    EXPECT_EQ(resolveFQDN(L"web1", f), L"web1.");

    TempDir::writeFile(f, "nameserver 1.1.1.1\n");
    EXPECT_EQ(resolveFQDN(L"web1", f), L"web1");

    TempDir::writeFile(f, "domain corp.example\r\n");
    EXPECT_EQ(resolveFQDN(L"web1.corp.example", f), L"web1.corp.example.corp.example");

    EXPECT_EQ(resolveFQDN(L"web1", tmp.file("missing")), L"web1");

    TempDir::writeFile(f, std::string("domain caf\xE9\n"));
    EXPECT_EQ(resolveFQDN(L"h", f), L"h.caf\u00E9");
}

TEST(VornUtilsSystem, SystemSpecIsOneTrimmedLine)
{
    const std::wstring spec = getSystemSpec();
    EXPECT_FALSE(spec.empty());
    EXPECT_EQ(spec.find(L'\n'), std::wstring::npos);
    EXPECT_LT(spec.size(), 512u);
    EXPECT_EQ(spec.substr(0, 5), L"Linux");
}

TEST(VornReadRegularFile, ReadsRegularFilesUpToTheLimitAndRefusesTheRest)
{
    TempDir tmp;
    std::string content;
    bool truncated = true;

    const std::string exact = tmp.file("exact");
    TempDir::writeFile(exact, std::string("ab\xE9\0z", 5));
    EXPECT_EQ(vorn::FileRead::Ok, vorn::readRegularFile(exact, 5, content, truncated));
    EXPECT_EQ(std::string("ab\xE9\0z", 5), content);
    EXPECT_FALSE(truncated);

    EXPECT_EQ(vorn::FileRead::Ok, vorn::readRegularFile(exact, 3, content, truncated));
    EXPECT_EQ("ab\xE9", content);
    EXPECT_TRUE(truncated);

    EXPECT_EQ(vorn::FileRead::CannotOpen, vorn::readRegularFile(tmp.file("missing"), 10, content, truncated));
    EXPECT_TRUE(content.empty());
    EXPECT_EQ(vorn::FileRead::NotRegularFile, vorn::readRegularFile(tmp.path(), 10, content, truncated));
    EXPECT_EQ(vorn::FileRead::NotRegularFile, vorn::readRegularFile("/dev/zero", 10, content, truncated));

    // A FIFO without a writer would block a plain open for ever.
    const std::string fifo = tmp.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vorn::FileRead::NotRegularFile, vorn::readRegularFile(fifo, 10, content, truncated));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
