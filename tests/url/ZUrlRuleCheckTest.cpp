// URL rules are compiled first in a child process under limits of CPU time,
// memory and stack: what stays within them is kept, in file order; a rule
// that runs over is stopped there, and the rules after it are still checked.
#include "extension/url/ZUrlRuleCheck.h"

#include <gtest/gtest.h>

#include <clocale>
#include <regex.h>

#include <string>
#include <vector>

namespace {

using Verdict = ZUrlRuleCheck::Verdict;
constexpr int kFlags = REG_EXTENDED | REG_ICASE;

// The limits, with room for a machine busy with other tests: the wall-clock
// limit is a safety net, not what these tests are about.
ZUrlRuleCheck::Limits patient()
{
    ZUrlRuleCheck::Limits limits;
    limits.wall = std::chrono::seconds(60);
    return limits;
}

std::string times(const std::string& text, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += text;
    return out;
}

std::vector<Verdict> verdicts(const std::vector<ZUrlRuleCheck::Result>& results)
{
    std::vector<Verdict> out;
    for (const auto& result : results)
        out.push_back(result.verdict);
    return out;
}

TEST(UrlRuleCheckTest, OrdinaryRulesAreKeptAndInvalidOnesSayWhy)
{
    const std::vector<std::string> patterns = {
        "/user/[0-9]+", "^[a-z0-9-]{0,30}$", "^/?[a-z0-9-]{0,32}$", "^.{0,50}/[0-9]+$", "(^|/)[0-9]{0,40}$",
        "[0-9]{1,400}", "(/[^/]+){1,300}", "(", "/shop/(item|product)/([0-9]+)"};
    const auto results = ZUrlRuleCheck::check(patterns, kFlags, patient());
    std::vector<Verdict> expected(patterns.size(), Verdict::Accepted);
    expected[7] = Verdict::Invalid;
    EXPECT_EQ(expected, verdicts(results));
    EXPECT_EQ(REG_EPAREN, results[7].error);
    EXPECT_FALSE(results[7].errorText.empty());
    EXPECT_GT(results[8].cpuBefore.count(), 0);
}

// A worker compiles under whatever locale its server gave it; a UTF-8 one
// makes a bracket expression's members cost more.
class Utf8Locale {
public:
    Utf8Locale() : previous(std::setlocale(LC_CTYPE, nullptr)) { std::setlocale(LC_CTYPE, "C.UTF-8"); }
    ~Utf8Locale() { std::setlocale(LC_CTYPE, previous.c_str()); }

private:
    std::string previous;
};

// Each optional item ahead of a loop that can match the empty string doubles
// what glibc's compiler does: 125 bytes never finish, nor does a bracket of
// 400,000 members counted 400 times. The stack a compile may use is small:
// nesting that would exhaust it crashes the child, not the caller.
TEST(UrlRuleCheckTest, CostlyRulesAreStoppedAndTheRestStillChecked)
{
    const std::vector<std::string> patterns = {
        times("a??", 40) + "(x?)*",
        times("([a-z]*)?", 20) + "(/?[^/]*)*",
        "/first",
        "[" + times("\xC3\xA9", 400000) + "]{0,400}",
        times("(", 100000) + "a" + times(")", 100000),
        "/user/[0-9]+",
    };
    const Utf8Locale locale;
    ZUrlRuleCheck::Limits limits = patient();
    limits.total = std::chrono::seconds(10);
    const auto results = ZUrlRuleCheck::check(patterns, kFlags, limits);
    // The bracket expression runs out of time or memory first, as the
    // machine goes.
    std::vector<Verdict> got = verdicts(results);
    if (got[3] == Verdict::TooLarge)
        got[3] = Verdict::TooSlow;
    EXPECT_EQ((std::vector<Verdict>{Verdict::TooSlow, Verdict::TooSlow, Verdict::Accepted, Verdict::TooSlow,
                                    Verdict::CompilerFailed, Verdict::Accepted}),
              got);
    EXPECT_NE(std::string::npos, ZUrlRuleCheck::reason(results[0], limits).find("more than 25 ms"));
    EXPECT_NE(0, results[4].signal);
}

// The rules compiled at one start-up share one budget: the first lines keep
// their place, and those past it are refused.
TEST(UrlRuleCheckTest, RulesPastTheWholeFileBudgetAreRefused)
{
    std::vector<std::string> patterns;
    for (int i = 0; i < 600; ++i)
        patterns.push_back("/p" + std::to_string(i) + "/[0-9]{1,300}");
    ZUrlRuleCheck::Limits limits = patient();
    limits.memory = std::size_t{1} << 30;
    const auto results = ZUrlRuleCheck::check(patterns, kFlags, limits);
    ASSERT_EQ(Verdict::Accepted, results[0].verdict);
    std::size_t kept = 0;
    std::chrono::nanoseconds keptCpu{0};
    while (kept < results.size() && results[kept].verdict == Verdict::Accepted)
        keptCpu += results[kept++].cpu;
    ASSERT_LT(kept, results.size());
    for (std::size_t i = kept; i < results.size(); ++i)
        EXPECT_EQ(Verdict::OverBudget, results[i].verdict) << i;
    EXPECT_LE(keptCpu, limits.total);
    EXPECT_NE(std::string::npos, ZUrlRuleCheck::reason(results.back(), limits).find("past the 125 ms"));
}

TEST(UrlRuleCheckTest, RulesPastTheMemoryBudgetAreRefused)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator is not the one measured";
#endif
    ZUrlRuleCheck::Limits limits = patient();
    limits.memory = std::size_t{2} << 20;  // each of these holds 0.8 MB, and needs twice that to compile
    const auto results =
        ZUrlRuleCheck::check({"/a/[0-9]{1,300}", "/b/[0-9]{1,300}", "/c/[0-9]{1,300}", "/d", "/e/[0-9]{1,300}"},
                             kFlags, limits);
    std::size_t held = 0;
    for (const auto& result : results)
        if (result.verdict == Verdict::Accepted)
            held += result.memory;
    EXPECT_LE(held, limits.memory);
    EXPECT_EQ(Verdict::Accepted, results[0].verdict);
    EXPECT_EQ(Verdict::TooLarge, results[2].verdict);
    EXPECT_EQ(Verdict::Accepted, results[3].verdict);
    EXPECT_EQ(Verdict::TooLarge, results[4].verdict);
    EXPECT_NE(std::string::npos, ZUrlRuleCheck::reason(results[4], limits).find("of memory"));
}

TEST(UrlRuleCheckTest, ACheckOutOfTimeKeepsNothingUnchecked)
{
    ZUrlRuleCheck::Limits limits;
    limits.wall = std::chrono::milliseconds(1);
    std::string failure;
    const auto results = ZUrlRuleCheck::check({times("a??", 40) + "(x?)*", "/a"}, kFlags, limits, &failure);
    EXPECT_EQ((std::vector<Verdict>{Verdict::NotChecked, Verdict::NotChecked}), verdicts(results));
    EXPECT_NE(std::string::npos, failure.find("ran out"));
    EXPECT_TRUE(ZUrlRuleCheck::check({}, kFlags, limits).empty());
}

} // namespace
