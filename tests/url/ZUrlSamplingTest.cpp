// Registration of request paths, the unique-URI limit, cross-VM sampling with
// an injected clock, and the incoming correlation header.
#include "common/VornUtils.h"
#include "extension/url/ZUrlManager.h"
#include "tests/url/FakeServerVariables.h"
#include "tests/url/UrlTestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>

namespace {

class UrlSamplingTest : public ::testing::Test {
protected:
    UrlTestEnv env;
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    std::time_t clockNow = 1000;

    void SetUp() override
    {
        manager.setSharedNames(env.semName, env.tableName, env.tmpDir);
        manager.setClock([this] { return clockNow; });
        manager.initialize(env.log);
        ASSERT_TRUE(manager.isInitialized());
        ASSERT_TRUE(manager.getUrlTable().isAttached());
    }

    // A new request for `uri`, registered as request activation does.
    vorn::Uri request(const std::string& uri)
    {
        vars.request("shop.example", uri);
        manager.requestCleanup();
        return manager.getCurrentURI(env.log, true);
    }

    // The cross-VM decision as the instrumentation makes it: one hold of the
    // semaphore around the test and the update.
    bool crossVmDecision()
    {
        ZShmUrlHash::ZSemLocker locker(manager.getUrlTable().getSemaphore());
        if (!locker.owns())
            return false;
        if (!manager.sampleCrossVM(env.log, false))
            return false;
        manager.updateUrlTimestamp(env.log, false);
        return true;
    }

    long stored(const std::wstring& path)
    {
        long v = -1;
        EXPECT_TRUE(manager.getUrlTable().value(path, v, true));
        return v;
    }
};

TEST_F(UrlSamplingTest, RegistrationKeepsAnExistingSampleTime)
{
    request("/a");
    EXPECT_EQ(0, stored(L"/a"));
    manager.getUrlTable().update(L"/a", 777, true);
    request("/a");
    request("/a");
    EXPECT_EQ(777, stored(L"/a"));
    EXPECT_EQ(1u, manager.getUrlTable().size(true));
    // Without lock nothing is registered.
    vars.request("shop.example", "/b");
    manager.requestCleanup();
    manager.getCurrentURI(env.log, false);
    EXPECT_FALSE(manager.getUrlTable().contains(L"/b", true));
}

TEST_F(UrlSamplingTest, CollapsedPathIsTheKey)
{
    env.writeRegexFile("/user/[0-9]+=/user/{id}\n/drop/=\n");
    manager.loadRegexFile(env.log, env.globals.install_dir);
    request("/user/1");
    request("/user/2/edit");
    EXPECT_EQ(1u, manager.getUrlTable().size(true));
    EXPECT_TRUE(manager.getUrlTable().contains(L"/user/{id}", true));
    // An empty collapsed path (empty replacement, or no host) is never stored.
    request("/drop/x");
    vars.clear();
    manager.requestCleanup();
    manager.getCurrentURI(env.log, true);
    EXPECT_EQ(1u, manager.getUrlTable().size(true));
}

TEST_F(UrlSamplingTest, UniqueUriLimit)
{
    env.globals.max_uris = 1000;
    for (int i = 0; i < 1000; ++i)
        manager.getUrlTable().update(L"/p" + std::to_wstring(i), 0, true);
    EXPECT_FALSE(manager.isMaxUriLimitHit());
    request("/one-more");
    EXPECT_TRUE(manager.isMaxUriLimitHit());
    EXPECT_EQ(1001u, manager.getUrlTable().size(true));
}

// Activation tests the limit and registers the path in one hold of the lock:
// a request over the limit registers nothing.
TEST_F(UrlSamplingTest, AdmissionTestsTheLimitThenRegisters)
{
    env.globals.max_uris = 1;
    for (const char* path : {"/a", "/a", "/b"}) {
        vars.request("shop.example", path);
        manager.requestCleanup();
        EXPECT_TRUE(manager.admitRequest(env.log)) << path;
    }
    vars.request("shop.example", "/c");
    manager.requestCleanup();
    EXPECT_FALSE(manager.admitRequest(env.log));
    EXPECT_EQ(2u, manager.getUrlTable().size(true));
    EXPECT_FALSE(manager.getUrlTable().contains(L"/c", true));
}

// Past the limit only new paths are left out: the paths already in the table
// stay collected. The first refusal is logged at once, later ones once a
// minute with how many went unlogged.
TEST_F(UrlSamplingTest, KnownPathsStayCollectedPastTheLimit)
{
    env.globals.max_uris = 1;
    auto admit = [this](const char* path) {
        vars.request("shop.example", path);
        manager.requestCleanup();
        return manager.admitRequest(env.log);
    };
    EXPECT_TRUE(admit("/a"));
    EXPECT_TRUE(admit("/b"));
    EXPECT_FALSE(admit("/c"));
    EXPECT_FALSE(admit("/d"));
    EXPECT_TRUE(admit("/a"));
    EXPECT_TRUE(admit("/b"));
    EXPECT_EQ(2u, manager.getUrlTable().size(true));
    const std::string line = "[WARNING] The URL table holds qx.max_uris = 1 collapsed paths:";
    EXPECT_EQ(1, env.countLines(line));
    clockNow += 59;
    EXPECT_FALSE(admit("/e"));
    EXPECT_EQ(1, env.countLines(line));
    clockNow += 1;
    EXPECT_FALSE(admit("/f"));
    EXPECT_EQ(2, env.countLines(line));
    EXPECT_EQ(1, env.countLines("(2 more since the last such line)"));
}

// Keys are cut to the table's longest key on a character boundary, so a
// path's length costs neither the table nor the aggregator more than that;
// a table with no room left for a new path refuses it as the limit does.
TEST_F(UrlSamplingTest, LongPathsAreCutAndAFullTableStopsNewPaths)
{
    env.globals.max_uris = INT_MAX;
    const std::size_t limit = ZShmUrlHash::MAX_KEY_BYTES;
    // The UTF-8 sequence "\xC3\xA9" straddles the limit: both its bytes go.
    const std::string head = "/" + std::string(limit - 4, 'p');
    const vorn::Uri cut = request(head + "\xC3\xA9" + std::string(8000, 'x'));
    EXPECT_EQ(vorn::toUtf(head), cut.collapsedPath);
    request(head + "\xC3\xA9" + std::string(8000, 'y'));
    EXPECT_EQ(1u, manager.getUrlTable().size(true));
    EXPECT_TRUE(manager.getUrlTable().contains(vorn::toUtf(head), true));

    // Fill the table with keys of the longest length, then short ones, until
    // it takes no more.
    ZShmUrlHash& table = manager.getUrlTable();
    for (std::size_t length : {limit, std::size_t(1)}) {
        for (unsigned long count = table.size(true);; ++count) {
            std::string key = std::to_string(count) + "/";
            key.resize(std::max(length, key.size()), 'k');
            table.updateKey(key, 0, true);
            if (table.size(true) == count)
                break;
        }
    }
    vars.request("shop.example", "/new");
    manager.requestCleanup();
    EXPECT_FALSE(manager.admitRequest(env.log));
    EXPECT_EQ(1, env.countLines("[WARNING] The URL table is full:"));
    vars.request("shop.example", head);
    manager.requestCleanup();
    EXPECT_TRUE(manager.admitRequest(env.log));
}

TEST_F(UrlSamplingTest, ZeroUriLimit)
{
    env.globals.max_uris = 0;
    EXPECT_FALSE(manager.isMaxUriLimitHit());
    request("/first");
    EXPECT_TRUE(manager.isMaxUriLimitHit());
}

TEST_F(UrlSamplingTest, NeverSampledPathIsSampledOnce)
{
    request("/a");
    EXPECT_TRUE(crossVmDecision());
    EXPECT_EQ(1, env.countLines("[DBG2] URL: /a first time seen"));
    EXPECT_EQ(1000, stored(L"/a"));
    EXPECT_FALSE(crossVmDecision());
}

TEST_F(UrlSamplingTest, SamplingInterval)
{
    env.globals.crossvm_sampling = 45;
    request("/a");
    manager.getUrlTable().update(L"/a", 100, true);
    clockNow = 145;
    EXPECT_FALSE(crossVmDecision());
    clockNow = 146;
    EXPECT_TRUE(crossVmDecision());
    EXPECT_EQ(146, stored(L"/a"));

    env.globals.crossvm_sampling = 0;
    EXPECT_FALSE(crossVmDecision());
    clockNow = 147;
    EXPECT_TRUE(crossVmDecision());
}

TEST_F(UrlSamplingTest, ClockSetBack)
{
    env.globals.crossvm_sampling = 45;
    request("/a");
    manager.getUrlTable().update(L"/a", 200, true);
    clockNow = 150;
    EXPECT_FALSE(crossVmDecision());
    clockNow = 245;
    EXPECT_FALSE(crossVmDecision());
    clockNow = 246;
    EXPECT_TRUE(crossVmDecision());
}

TEST_F(UrlSamplingTest, DamagedSampleTimeCountsAsLongAgo)
{
    request("/a");
    manager.getUrlTable().update(L"/a", LONG_MIN, true);
    EXPECT_TRUE(crossVmDecision());
}

TEST_F(UrlSamplingTest, SamplingAddsNoEntryButUpdateDoes)
{
    vars.request("shop.example", "/unregistered");
    manager.requestCleanup();
    EXPECT_TRUE(manager.sampleCrossVM(env.log, true));
    EXPECT_EQ(1, env.countLines("[DBG2] URL: /unregistered does not exist in shared memory"));
    EXPECT_EQ(0u, manager.getUrlTable().size(true));
    manager.updateUrlTimestamp(env.log, true);
    EXPECT_EQ(1000, stored(L"/unregistered"));
    clockNow = 2000;
    manager.updateUrlTimestamp(env.log, true);
    EXPECT_EQ(2000, stored(L"/unregistered"));
    EXPECT_EQ(1u, manager.getUrlTable().size(true));
}

TEST_F(UrlSamplingTest, CorrelationHeader)
{
    std::string token = "stale";
    vars.request("shop.example", "/a");
    EXPECT_FALSE(manager.hasCrossVmHttpHeader(env.log));
    EXPECT_FALSE(manager.getCorrelationToken(token));
    EXPECT_EQ("", token);

    vars.set("HTTP_X_KOLVANE_DIAG_HTTP_COLOR", "");
    EXPECT_TRUE(manager.hasCrossVmHttpHeader(env.log));
    EXPECT_TRUE(manager.getCorrelationToken(token));
    EXPECT_EQ("", token);

    const std::string odd = " !\x0f\x10 not a token \xff ";
    vars.set("HTTP_X_KOLVANE_DIAG_HTTP_COLOR", odd);
    EXPECT_TRUE(manager.getCorrelationToken(token));
    EXPECT_EQ(odd, token);
}

// ---- failures of the shared objects ---------------------------------------------

TEST(UrlManagerFailures, UnattachedTableCountsNothingAndAlwaysSamples)
{
    UrlTestEnv env;
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    // "tmp" is missing: the table cannot be created.
    manager.setSharedNames(env.semName, env.tableName, env.installDir + "/missing");
    manager.initialize(env.log);
    EXPECT_TRUE(manager.isInitialized());
    EXPECT_FALSE(manager.getUrlTable().isAttached());
    EXPECT_EQ(1, env.countLines("[ERROR] Failed to create shared memory:"));
    env.globals.max_uris = 0;
    vars.request("shop.example", "/a");
    manager.getCurrentURI(env.log, true);
    EXPECT_FALSE(manager.isMaxUriLimitHit());
    EXPECT_TRUE(manager.sampleCrossVM(env.log, true));
    manager.updateUrlTimestamp(env.log, true);
    EXPECT_TRUE(manager.sampleCrossVM(env.log, true));
    EXPECT_EQ(2, env.countLines("does not exist in shared memory"));
}

TEST(UrlManagerFailures, SemaphoreErrorIsLoggedAndRetried)
{
    UrlTestEnv env;
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    manager.setSharedNames("/bad/name", env.tableName, env.tmpDir);
    manager.initialize(env.log);
    EXPECT_FALSE(manager.isInitialized());
    EXPECT_EQ(1, env.countLines("[DBG1] Initializing URL manager. ProbeID: UrlTableShm"));
    // The line says which semaphore failed, and why.
    EXPECT_EQ(1, env.countLines("[ERROR] Semaphore /bad/name (/dev/shm/sem.bad/name) cannot be created: Invalid argument"));
    manager.setSharedNames(env.semName, env.tableName, env.tmpDir);
    manager.initialize(env.log);
    EXPECT_TRUE(manager.isInitialized());
    manager.initialize(env.log);  // once only
    EXPECT_EQ(2, env.countLines("Initializing URL manager"));
}

TEST(UrlManagerFailures, DamagedTableIsNotUsed)
{
    UrlTestEnv env;
    {
        std::ofstream out(env.tablePath(), std::ios::binary);
        out << std::string(6000, '\x7f');
    }
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    manager.setSharedNames(env.semName, env.tableName, "");  // default: install dir + "/tmp"
    manager.initialize(env.log);
    EXPECT_TRUE(manager.isInitialized());
    EXPECT_FALSE(manager.getUrlTable().isAttached());
    EXPECT_EQ(1, env.countLines("[ERROR] Shared memory is damaged and is not used:"));
    vars.request("shop.example", "/a");
    manager.getCurrentURI(env.log, true);
    EXPECT_FALSE(manager.isMaxUriLimitHit());
    EXPECT_TRUE(manager.sampleCrossVM(env.log, true));
}

} // namespace
