// URL of the request, collapsing rules and the URL regex file.
#include "extension/url/ZUrlManager.h"
#include "tests/url/FakeServerVariables.h"
#include "tests/url/UrlTestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class UrlManagerTest : public ::testing::Test {
protected:
    UrlTestEnv env;
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};

    std::string url()
    {
        manager.requestCleanup();
        return manager.getCurrentURL(env.log);
    }

    // Collapsed path of a request for `uri` under the given rule file.
    std::wstring collapse(const std::string& rules, const std::string& uri)
    {
        env.writeRegexFile(rules);
        manager.loadRegexFile(env.log, env.globals.install_dir);
        vars.request("shop.example", uri);
        manager.requestCleanup();
        return manager.getCurrentURI(env.log, false).collapsedPath;
    }
};

TEST_F(UrlManagerTest, HttpsValuesChooseTheScheme)
{
    for (const char* on : {"on", "ON", "1", ""}) {
        vars.request("shop.example", "/a");
        vars.set("HTTPS", on);
        EXPECT_EQ("https://shop.example:80/a", url()) << "HTTPS=" << on;
    }
    for (const char* off : {"off", "OFF", "Off"}) {
        vars.request("shop.example", "/a");
        vars.set("HTTPS", off);
        EXPECT_EQ("http://shop.example:80/a", url()) << "HTTPS=" << off;
    }
    vars.request("shop.example", "/a");
    EXPECT_EQ("http://shop.example:80/a", url());
}

TEST_F(UrlManagerTest, HostWithPortOrIpv6GetsNoSecondPort)
{
    vars.request("shop.example:8080", "/a", "8080");
    EXPECT_EQ("http://shop.example:8080/a", url());

    vars.request("[::1]", "/a", "8080");
    EXPECT_EQ("http://[::1]/a", url());
    vars.request("[::1]:8080", "/a/b?q=1", "8080");
    EXPECT_EQ("http://[::1]:8080/a/b?q=1", url());
    manager.requestCleanup();
    vorn::Uri uri = manager.getCurrentURI(env.log, false);
    EXPECT_EQ(L"/a/b", uri.path);
    EXPECT_EQ(L"?q=1", uri.query);

    vars.request("shop.example", "/a", "80");
    EXPECT_EQ("http://shop.example:80/a", url());
}

// The Host header comes from the client: a "/", "?" or "#" in it must not
// move where the path and the query are read, or any client could report
// paths the site never served.
TEST_F(UrlManagerTest, HostHeaderCannotChangeThePathOrQuery)
{
    vars.request("evil/injected?x=1#f", "/a?q=1", "80");
    EXPECT_EQ("http://evil:80/a?q=1", url());
    vorn::Uri uri = manager.getCurrentURI(env.log, false);
    EXPECT_EQ(L"/a", uri.path);
    EXPECT_EQ(L"?q=1", uri.query);
    EXPECT_EQ(L"evil", uri.host);

    vars.request("shop.example\\x y", "/b", "80");
    EXPECT_EQ("http://shop.example:80/b", url());
    vars.request("?only", "/c", "80");
    manager.requestCleanup();
    EXPECT_EQ(L"/c", manager.getCurrentURI(env.log, false).path);
}

TEST_F(UrlManagerTest, MissingPortOrRequestUri)
{
    vars.request("shop.example", "/a");
    vars.unset("REQUEST_URI");
    EXPECT_EQ("http://shop.example:80", url());
    vars.unset("SERVER_PORT");
    EXPECT_EQ("http://shop.example", url());
}

TEST_F(UrlManagerTest, NoHostGivesEmptyUrlThatIsNotCached)
{
    vars.set("REQUEST_URI", "/a");
    EXPECT_EQ("", manager.getCurrentURL(env.log));
    vorn::Uri uri = manager.getCurrentURI(env.log, false);
    EXPECT_EQ(L"", uri.path);
    EXPECT_EQ(L"", uri.collapsedPath);
    // Built as soon as a host shows up, within the same request.
    vars.set("HTTP_HOST", "late.example");
    EXPECT_EQ("http://late.example/a", manager.getCurrentURL(env.log));
}

TEST_F(UrlManagerTest, UrlIsBuiltOncePerRequest)
{
    vars.request("shop.example", "/first");
    EXPECT_EQ("http://shop.example:80/first", manager.getCurrentURL(env.log));
    vars.request("shop.example", "/second");
    EXPECT_EQ("http://shop.example:80/first", manager.getCurrentURL(env.log));
    EXPECT_EQ(1, env.countLines("[DBG1] Current URL is: http://shop.example:80/first"));
    manager.requestCleanup();
    EXPECT_EQ("http://shop.example:80/second", manager.getCurrentURL(env.log));
}

TEST_F(UrlManagerTest, RuleReplacesTheWholePath)
{
    EXPECT_EQ(L"/user/{id}", collapse("/user/[0-9]+=/user/{id}\n", "/user/42/profile"));
    // No match: the path itself.
    EXPECT_EQ(L"/about", collapse("/user/[0-9]+=/user/{id}\n", "/about"));
}

TEST_F(UrlManagerTest, GroupsAndQuery)
{
    env.writeRegexFile("/(shop|store)/item/([0-9]+)=/$1/item\n");
    manager.loadRegexFile(env.log, env.globals.install_dir);
    vars.request("shop.example", "/store/item/77?x=1");
    vorn::Uri uri = manager.getCurrentURI(env.log, false);
    EXPECT_EQ(L"/store/item", uri.collapsedPath);
    EXPECT_EQ(L"/store/item/77", uri.path);
    EXPECT_EQ(L"?x=1", uri.query);
    // The query never takes part in matching.
    EXPECT_EQ(L"/list", collapse("x=1=/never\n", "/list?x=1"));
}

TEST_F(UrlManagerTest, GroupReferenceForms)
{
    EXPECT_EQ(L"/a-$1", collapse("/(a)/=/$1-$1\n", "/a/b"));
    EXPECT_EQ(L"/b|b", collapse("/(a)/(b)=/\\2|$2\n", "/a/b"));
    EXPECT_EQ(L"/a/$5", collapse("/(a)/(b)=/$1/$5\n", "/a/b"));
    EXPECT_EQ(L"[/a/b]", collapse("/(a)/(b)=[$0]\n", "/a/b"));
}

TEST_F(UrlManagerTest, AnchorsCaseAndPriority)
{
    EXPECT_EQ(L"/user/1", collapse("^/user=/anchored\n", "/user/1"));
    EXPECT_EQ(L"/user/1", collapse("/user/1$=/anchored\n", "/user/1"));
    EXPECT_EQ(L"/user/{id}", collapse("/USER/[0-9]+=/user/{id}\n", "/user/42"));
    EXPECT_EQ(L"/first", collapse("/user=/first\n/user/[0-9]+=/second\n", "/user/42"));
}

TEST_F(UrlManagerTest, LineSyntax)
{
    env.writeRegexFile("/a=b=/c\nno equals sign here\n\n/x=/y\r\n/z=/last");
    manager.loadRegexFile(env.log, env.globals.install_dir);
    const auto& rules = manager.getRegexes();
    ASSERT_EQ(3u, rules.size());
    auto it = rules.begin();
    EXPECT_EQ("/a=b", it->pattern);
    EXPECT_EQ("/c", it->replacement);
    ++it;
    EXPECT_EQ("/x", it->pattern);
    EXPECT_EQ("/y", it->replacement);  // a CR before the LF is no part of the rule
    ++it;
    EXPECT_EQ("/z", it->pattern);        // last line without LF is read too
    EXPECT_EQ("/last", it->replacement);
}

TEST_F(UrlManagerTest, InvalidPatternIsSkippedWithOneWarning)
{
    env.writeRegexFile("(=/broken\n[z-a]=/range\n/ok=/fine\n");
    manager.loadRegexFile(env.log, env.globals.install_dir);
    ASSERT_EQ(1u, manager.getRegexes().size());
    EXPECT_EQ("/ok", manager.getRegexes().front().pattern);
    EXPECT_EQ(2, env.countLines("[WARNING] Invalid regular expression:"));
    EXPECT_EQ(1, env.countLines("[WARNING] Invalid regular expression: ( ."));
}

TEST_F(UrlManagerTest, FileWithCrLfLineEnds)
{
    EXPECT_EQ(L"/item/{id}", collapse("/user/[0-9]+=/user/{id}\r\n/item/[0-9]+=/item/{id}\r\n", "/item/42"));
}

// glibc's matcher takes time exponential in the path's length on an
// expression with back-references: a client's 73-character path held a
// worker for 14.7 s. Such rules are refused; a backslash that is no
// back-reference is not.
TEST_F(UrlManagerTest, BackReferencesAreRefused)
{
    env.writeRegexFile("(.*)(.*)(.*)\\1\\2\\3x=/bt\n/a\\\\1=/escaped\n/b[\\1]=/bracket\n/c[]\\1]=/member\n"
                       "/d[[:digit:]]\\9=/class\n");
    manager.loadRegexFile(env.log, env.globals.install_dir);
    std::vector<std::string> kept;
    for (const auto& rule : manager.getRegexes())
        kept.push_back(rule.replacement);
    EXPECT_EQ((std::vector<std::string>{"/escaped", "/bracket", "/member"}), kept);
    EXPECT_EQ(1, env.countLines("[WARNING] URL rule refused: (.*)(.*)(.*)\\1\\2\\3x ."));
    EXPECT_EQ(2, env.countLines("[WARNING] URL rule refused:"));
}

// Rules are matched in time linear in the path: the shapes the C library
// took seconds on are kept. What RE2 cannot say is refused, naming the
// construct; rules that need "^" or "$" are kept, with a warning that they
// never match.
TEST_F(UrlManagerTest, ConstructsOutsideRe2AreRefusedAndAnchoredOnesWarned)
{
    EXPECT_EQ(L"/user/{id}", collapse("(.*){300}x=/loop\n\\<user=/word\n[[=e=]]=/equiv\n^/user/[0-9]+$=/anchored\n"
                                      "(^|/)shop=/shop\n/user/[0-9]+=/user/{id}\n",
                                      "/user/42"));
    EXPECT_EQ(4u, manager.getRegexes().size());
    EXPECT_EQ(1, env.countLines("[WARNING] URL rule refused: \\<user . It holds the GNU operator \\<, which is not "
                                "supported"));
    EXPECT_EQ(1, env.countLines("[WARNING] URL rule refused: [[=e=]] . It holds an equivalence class [[=e=]]"));
    EXPECT_EQ(1, env.countLines("[WARNING] URL rule can never match: ^/user/[0-9]+$ ."));
    EXPECT_EQ(3, env.countLines("[WARNING]"));
    EXPECT_EQ(L"/loop", collapse("(.*){300}x=/loop\n", "/aaax"));
    // The same rule could cost a long path more than the rules may take: the
    // path keeps its name, with a warning, at every request alike.
    const std::string path = "/" + std::string(8000, 'a') + "x";
    for (int request = 0; request < 2; ++request)
        EXPECT_EQ(0u, collapse("(.*){300}x=/loop\n", path).find(L"/aaaa"));
    EXPECT_EQ(1, env.countLines("[WARNING] Matching a path of 8002 bytes against the URL rules could take more than 18 "
                                "ms; no rule is applied to it"));
}

// A 1 MiB file of ordinary rules loads whole, and one of refused rules
// writes a bounded number of lines.
TEST_F(UrlManagerTest, LargeFilesLoadWholeAndRefusalsAreCounted)
{
    std::string rules;
    for (int i = 1; i <= 20000; ++i)
        rules += "/nomatch" + std::to_string(100000 + i).substr(1) + "/[0-9]+=/x" + std::to_string(i) + "\n";
    EXPECT_EQ(L"/item/{id}", collapse(rules + "/item/[0-9]+=/item/{id}\n", "/item/42"));
    EXPECT_EQ(20001u, manager.getRegexes().size());
    EXPECT_EQ(0, env.countLines("[WARNING]"));

    std::string refused;
    for (int i = 0; i < 50; ++i)
        refused += "\\<w" + std::to_string(i) + "=/w\n";
    EXPECT_EQ(L"/ok", collapse("/ok=/ok\n" + refused, "/ok"));
    EXPECT_EQ(20, env.countLines("[WARNING] URL rule refused:"));
    EXPECT_EQ(1, env.countLines("[WARNING] 30 more URL rules were refused or can never match, not listed; the first "
                                "at line 22 of " + env.installDir + "/etc/url-regex.txt"));
}

TEST_F(UrlManagerTest, MissingFileGivesNoRules)
{
    manager.loadRegexFile(env.log, env.globals.install_dir);
    EXPECT_TRUE(manager.getRegexes().empty());
    EXPECT_EQ(1, env.countLines("[DBG1] Loading URL regex file: " + env.installDir + "/etc/url-regex.txt"));
    vars.request("shop.example", "/user/1");
    EXPECT_EQ(L"/user/1", manager.getCurrentURI(env.log, false).collapsedPath);
}

TEST_F(UrlManagerTest, RegexFileThatIsNoPlainFileIsNotRead)
{
    // A FIFO would block the opening until some writer appears, holding the
    // module start-up; a folder cannot be read as rules either.
    const std::string path = env.installDir + "/etc/url-regex.txt";
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    auto loading = std::async(std::launch::async, [this] {
        manager.loadRegexFile(env.log, env.globals.install_dir);
    });
    if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked reader go before failing.
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
        loading.wait();
        FAIL() << "loading the URL regex file blocked on a FIFO";
    }
    EXPECT_TRUE(manager.getRegexes().empty());
    EXPECT_EQ(1, env.countLines("[WARNING] URL regex file is not a regular file and is not read: " + path));
    unlink(path.c_str());

    ASSERT_EQ(0, mkdir(path.c_str(), 0755));
    manager.loadRegexFile(env.log, env.globals.install_dir);
    EXPECT_TRUE(manager.getRegexes().empty());
    EXPECT_EQ(2, env.countLines("[WARNING] URL regex file is not a regular file and is not read: " + path));
    rmdir(path.c_str());

    // One that is there but cannot be opened is worth a line too.
    ASSERT_EQ(0, symlink("url-regex.txt", path.c_str()));
    manager.loadRegexFile(env.log, env.globals.install_dir);
    EXPECT_EQ(1, env.countLines("[WARNING] URL regex file cannot be read and is not used: " + path
                                + " : Too many levels of symbolic links"));
    unlink(path.c_str());

    // A plain file read after them loads as usual.
    EXPECT_EQ(L"/fine", collapse("/ok=/fine\n", "/ok"));
}

TEST_F(UrlManagerTest, ReloadReplacesRules)
{
    EXPECT_EQ(L"/one", collapse("/a=/one\n", "/a"));
    EXPECT_EQ(L"/two", collapse("/a=/two\n", "/a"));
    EXPECT_EQ(1u, manager.getRegexes().size());
}

TEST_F(UrlManagerTest, BytesAbove0x7FAreKeptAndMatched)
{
    // A rule with a UTF-8 path must not stop the loading of the rules after it,
    // and must match the same bytes in the path.
    const std::string rules = "/caf\xC3\xA9/[0-9]+=/caf\xC3\xA9/{n}\n/latin\xE9=/l\n/after=/loaded\n";
    env.writeRegexFile(rules);
    manager.loadRegexFile(env.log, env.globals.install_dir);
    EXPECT_EQ(3u, manager.getRegexes().size());
    EXPECT_EQ(L"/caf\u00C3\u00A9/{n}", collapse(rules, "/caf\xC3\xA9/12"));
    EXPECT_EQ(L"/l", collapse(rules, "/latin\xE9"));
    EXPECT_EQ(L"/loaded", collapse(rules, "/after"));
}

TEST_F(UrlManagerTest, SemaphoreNameOfAnyText)
{
    EXPECT_EQ("a_b_c_d_e_f", ZUrlManager::getSemaphoreName("a.b/c-d@e*f"));
    EXPECT_EQ("plain", ZUrlManager::getSemaphoreName("plain"));
}

} // namespace

namespace {

TEST(UrlManagerWithoutLookup, EveryVariableCountsAsUnset)
{
    UrlTestEnv env;
    ZUrlManager manager{env.globals};
    EXPECT_EQ("", manager.getCurrentURL(env.log));
    EXPECT_EQ(L"", manager.getCurrentURI(env.log, false).path);
    EXPECT_FALSE(manager.hasCrossVmHttpHeader(env.log));
    std::string token = "x";
    EXPECT_FALSE(manager.getCorrelationToken(token));
    EXPECT_EQ("", token);

    FakeServerVariables vars;
    vars.request("shop.example", "/a");
    manager.setServerVariables(&vars);
    EXPECT_EQ("http://shop.example:80/a", manager.getCurrentURL(env.log));
}

} // namespace
