// Several worker processes registering and sampling paths in one table at
// the same time.
#include "extension/url/ZUrlManager.h"
#include "extension/url/ZUrlTableValidator.h"
#include "tests/url/FakeServerVariables.h"
#include "tests/url/UrlTestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWorkers = 6;
constexpr int kPaths = 120;
constexpr int kRequestsPerWorker = 600;

// One worker: its own manager, table mapping and semaphore handle. Writes how
// many cross-VM samples it took to `out`. Returns the process exit code.
int runWorker(UrlTestEnv& env, int worker, int out)
{
    FakeServerVariables vars;
    ZUrlManager manager{env.globals, &vars};
    manager.setSharedNames(env.semName, env.tableName, env.tmpDir);
    env.log.level = 0;
    manager.initialize(env.log);
    if (!manager.isInitialized() || !manager.getUrlTable().isAttached())
        return 3;
    long samples = 0;
    for (int i = 0; i < kRequestsPerWorker; ++i) {
        const int path = (i * 7 + worker * 13) % kPaths;
        vars.request("shop.example", "/item/" + std::to_string(path) + "?w=" + std::to_string(worker));
        manager.requestCleanup();
        manager.isMaxUriLimitHit();
        manager.getCurrentURI(env.log, true);
        ZShmUrlHash::ZSemLocker locker(manager.getUrlTable().getSemaphore());
        if (!locker.owns())
            return 4;
        if (manager.sampleCrossVM(env.log, false)) {
            manager.updateUrlTimestamp(env.log, false);
            ++samples;
        }
    }
    if (write(out, &samples, sizeof samples) != static_cast<ssize_t>(sizeof samples))
        return 5;
    return 0;
}

TEST(UrlMultiProcess, ConcurrentWorkersLoseNothing)
{
    UrlTestEnv env;
    env.globals.crossvm_sampling = 3600;  // one sample per path for the whole test
    env.globals.max_uris = 1000;

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::vector<pid_t> children;
    for (int w = 0; w < kWorkers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            _exit(runWorker(env, w, fds[1]));
        }
        children.push_back(pid);
    }
    close(fds[1]);

    // Bounded wait for every worker; stragglers are killed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::map<pid_t, int> exitCodes;
    while (exitCodes.size() < children.size()) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            exitCodes[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            continue;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            for (pid_t c : children)
                if (!exitCodes.count(c))
                    kill(c, SIGKILL);
            for (pid_t c : children)
                if (!exitCodes.count(c)) {
                    waitpid(c, &status, 0);
                    exitCodes[c] = -1;
                }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto& e : exitCodes)
        EXPECT_EQ(0, e.second) << "worker " << e.first;

    long totalSamples = 0;
    long samples = 0;
    while (read(fds[0], &samples, sizeof samples) == static_cast<ssize_t>(sizeof samples))
        totalSamples += samples;
    close(fds[0]);

    // Every path once, consistent chains, every path sampled exactly once.
    std::map<std::string, std::string> entries;
    std::string reason;
    ASSERT_EQ(ZUrlTableValidator::Result::Valid,
              ZUrlTableValidator::check(env.tablePath(), reason,
                                        [&](const std::string& k, const std::string& v) {
                                            EXPECT_TRUE(entries.emplace(k, v).second) << "duplicate " << k;
                                        }))
        << reason;
    EXPECT_EQ(static_cast<size_t>(kPaths), entries.size());
    for (int p = 0; p < kPaths; ++p) {
        auto it = entries.find("/item/" + std::to_string(p));
        ASSERT_NE(entries.end(), it) << p;
        EXPECT_NE("0", it->second) << "path " << p << " was never sampled";
    }
    EXPECT_EQ(kPaths, totalSamples);
    EXPECT_EQ(0, env.countLines("[ERROR]"));
}

} // namespace
