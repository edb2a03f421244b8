#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/zException.h"
#include "extension/engine/EngineBoundary.h"

namespace {

// The guard's failure reporting, for the sites that report their own way; no
// engine is needed for it.
TEST(EngineBoundaryTest, GuardStopsEveryFailureAndPassesItsText)
{
    std::vector<std::string> seen;
    auto record = [&](const char* what) { seen.push_back(what != nullptr ? what : "<none>"); };

    EXPECT_TRUE(vorn::guardEntry([] {}, record));
    EXPECT_FALSE(vorn::guardEntry([] { throw zException(L"no log file"); }, record));
    EXPECT_FALSE(vorn::guardEntry([] { throw std::runtime_error("library failed"); }, record));
    EXPECT_FALSE(vorn::guardEntry([] { throw 42; }, record));
    EXPECT_EQ((std::vector<std::string>{"no log file", "library failed", "<none>"}), seen);

    // A reporter that fails itself does not let anything through either.
    EXPECT_FALSE(vorn::guardEntry([] { throw 42; }, [](const char*) { throw std::bad_alloc(); }));
    EXPECT_FALSE(vorn::guardEntry([] { throw 42; }, vorn::ignoreFailure));
}

// The probe's own system calls must not show in the errno that the engine
// prints in its next warning: the guard puts back what it found, whether
// the work succeeds or fails and whatever the failure's report does.
TEST(EngineBoundaryTest, GuardLeavesErrnoAsItFoundIt)
{
    auto clobber = [] { errno = EINPROGRESS; };
    auto clobberAndFail = [] {
        errno = EAGAIN;
        throw std::runtime_error("lock busy");
    };

    errno = ENOENT;
    EXPECT_TRUE(vorn::guardEntry(clobber, vorn::ignoreFailure));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(vorn::guardEntry(clobberAndFail, [](const char*) { errno = EBADF; }));
    EXPECT_EQ(ENOENT, errno);
}

} // namespace
