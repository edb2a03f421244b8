// The estimate of what a URL rule costs to compile, and the limits applied to
// it: what ordinary sites write passes, what was measured to cost seconds or
// gigabytes does not.
#include "extension/url/UrlRuleCost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

bool accepted(const std::string& pattern)
{
    const UrlRuleCost cost = urlRuleCost(pattern);
    return cost.work() <= UrlRuleCost::MAX_WORK && cost.anchorWork() <= UrlRuleCost::MAX_ANCHOR_WORK;
}

std::string times(const std::string& text, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += text;
    return out;
}

TEST(UrlRuleCostTest, CopiesMultiplyAndOptionalCopiesReachEachOther)
{
    EXPECT_EQ(3u, urlRuleCost("abc").nodes);
    EXPECT_EQ(3u, urlRuleCost("a{3}").nodes);
    EXPECT_EQ(12u, urlRuleCost("(a{2}){3}").nodes);  // three groups of two
    EXPECT_GE(urlRuleCost("((a{1,100}){1,100}){1,100}").nodes, 1000000u);
    EXPECT_EQ(urlRuleCost("a{2,}").nodes, urlRuleCost("a{2}a*").nodes);
    EXPECT_EQ(urlRuleCost("a+").nodes, urlRuleCost("aa*").nodes);

    // Exact counts copy nothing optional: linear. Optional copies: square.
    EXPECT_LT(urlRuleCost("[0-9]{800}").reach, 2 * urlRuleCost("[0-9]{400}").reach + 10);
    const double ratio = double(urlRuleCost("[0-9]{1,800}").reach) / double(urlRuleCost("[0-9]{1,400}").reach);
    EXPECT_GT(ratio, 3.5);
    EXPECT_LT(ratio, 4.5);

    // Only anchors count towards the anchors' reach, and only what can
    // follow them without consuming a character.
    EXPECT_EQ(0u, urlRuleCost("(a?){1,50}").anchorReach);
    EXPECT_LT(urlRuleCost("^[0-9]{1,400}$").anchorReach, 10u);
    EXPECT_GT(urlRuleCost("^(a?){1,50}").anchorReach, 200u);

    EXPECT_EQ(0u, urlRuleCost("(/[^/]*)*").emptyLoops);  // the body needs a "/"
    EXPECT_EQ(1u, urlRuleCost("(/?[^/]*)*").emptyLoops);
    EXPECT_EQ(3u, urlRuleCost("((a*)+){3}").emptyLoops);
    EXPECT_EQ(1u, urlRuleCost("(a?[0-9]{0})*").emptyLoops);  // `{0}` drops its operand
}

TEST(UrlRuleCostTest, LimitsKeepOrdinaryRulesAndRefuseCostlyOnes)
{
    for (const char* pattern :
         {"/user/[0-9]+", "^/user/[0-9]+$", "/product/[^/]+/reviews", "^/(en|fr|de|es|it)/", "\\.php$",
          "/[0-9a-f]{32}", "^/api/v[0-9]+/[a-z_]+/[0-9]+(/|$)", "(^|/)index\\.php(/|$)",
          "^/static/.*\\.(css|js|png|jpe?g|gif|svg)$", "\\b[0-9]+\\b", "^/([a-z]{2}(-[a-z]{2})?/)?shop/",
          "([^/]*/)*", "(/[^/]+){1,300}", "[0-9]{1,400}", "/[[:alpha:]]{1,200}", "(a|b)+{1,300}", "(.*)*"})
        EXPECT_TRUE(accepted(pattern)) << pattern;

    // Measured with glibc 2.36 (time, peak memory of regcomp()).
    const std::string costly[] = {
        "((a{1,100}){1,100}){1,100}",      // 2.3 s, 1.8 GB
        "/n/[0-9]{1,32767}",               // 34 s, 16 GB
        "[0-9]{1,2000}",                   // 0.15 s, 63 MB
        times("(a|)", 2000),               // 1 s, 310 MB
        times("a|", 10000) + "a",          // 2.2 s, 770 MB
        std::string(100000, 'a'),          // 70 ms, 21 MB
        "a++++++++++++++++++++",           // 2 s, 700 MB
        "^(a?){1,200}",                    // 2.4 s, 330 MB
        "(\\b|x){0,160}",                  // 0.5 s, 134 MB
        times("(^)?", 160),                // 4.3 s, 1 GB
        "(^|$){0,40}",                     // 4.9 s, 1 GB
        "(a?){1,200}(a*)*",                // 0.23 s
        "((){0,}|a?){1,16}",               // 0.28 s
        times("(^a*)*", 16),               // 0.36 s
        "((()?){1,7}\\>)+",                // 0.44 s
    };
    for (const std::string& pattern : costly)
        EXPECT_FALSE(accepted(pattern)) << pattern.substr(0, 40);
}

// Brackets and escapes decide what a count applies to: a scan that misread
// them would let a costly rule through.
TEST(UrlRuleCostTest, BracketsAndEscapesAreReadAsRegcompReadsThem)
{
    EXPECT_TRUE(accepted("[{1,99999}]"));          // braces inside a bracket expression
    EXPECT_FALSE(accepted("[\\]{1,99999}"));       // no escape inside one: "[\]" ends there
    EXPECT_FALSE(accepted("[]a]{1,99999}"));       // "]" first is a member
    EXPECT_FALSE(accepted("[^]]{1,99999}"));
    EXPECT_FALSE(accepted("[[:alpha:]]{1,99999}"));
    EXPECT_FALSE(accepted("[[.].]]{1,99999}"));
    EXPECT_FALSE(accepted("\\[{1,99999}"));
    EXPECT_FALSE(accepted("\xC3\xA9{1,99999}"));   // a multibyte character is repeated whole
    EXPECT_TRUE(accepted("{1,99999}"));            // nothing to repeat: characters to regcomp()
    EXPECT_TRUE(accepted("a|{1,99999}"));
    EXPECT_TRUE(accepted("({1,99999})"));
}

TEST(UrlRuleCostTest, AnyInputIsCountedInBoundedTimeAndValues)
{
    const std::string odd[] = {
        "", "{", "{,}", "a{,}", "a{}", "a{,5}", "a{5,2}", "a{1,2", "a{99999999999}",
        "a{99999999999999999999999999999999,}", "[", "[^", "[]", "[^]", "[[:", "[[:alpha:]", "[[.a", "[[=a",
        "\\", "a\\", "\xC3", "\xF0\x9F", ")", "))(", "|||", "*a", "+", "?{2}", "(|)*", "()", "(((", "a**",
        "^*", "$+", "\\b{2,3}", "\\<\\>\\`\\'", std::string(1, '\0') + "{9}", "a{0}{99999}",
    };
    for (const std::string& pattern : odd) {
        const UrlRuleCost cost = urlRuleCost(pattern);
        EXPECT_LE(cost.work(), UrlRuleCost::SATURATED) << pattern;
        EXPECT_LE(cost.anchorWork(), UrlRuleCost::SATURATED) << pattern;
    }
    EXPECT_EQ(UrlRuleCost::SATURATED, urlRuleCost("a{99999999999999999999999}").work());
    EXPECT_GT(urlRuleCost(times("(a{99999}){99999}", 10)).work(), UrlRuleCost::MAX_WORK);
    EXPECT_EQ(UrlRuleCost::SATURATED, urlRuleCost(times("(", 10000) + "a" + times(")", 10000)).work());
    EXPECT_EQ(UrlRuleCost::SATURATED, urlRuleCost(times("((a*)*", 100)).work());

    // A rules file holds up to 1 MiB: the longest pattern is counted in time
    // linear in its length.
    const auto start = std::chrono::steady_clock::now();
    for (const char* unit : {"(", ")", "[", "a{1,9}", "[[:", "(a|", "x?", "\\", "\xC3\xA9"}) {
        const std::string pattern = times(unit, (1 << 20) / static_cast<int>(std::char_traits<char>::length(unit)));
        EXPECT_LE(urlRuleCost(pattern).work(), UrlRuleCost::SATURATED);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
