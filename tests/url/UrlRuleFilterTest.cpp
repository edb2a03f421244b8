// Which rules a path can match, and what running them may cost: the filter
// never leaves out a rule RE2 would match, and a path's answer and charge
// depend on the path and the rules alone.
#include "extension/url/PosixToRe2.h"
#include "extension/url/UrlRuleFilter.h"
#include "extension/url/UrlRuleSet.h"

#include <re2/re2.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> literalsOf(const std::string& posix)
{
    return UrlRuleFilter::requiredLiterals(PosixToRe2::translate(posix).pattern);
}

using Literals = std::vector<std::string>;

TEST(UrlRuleFilterTest, RequiredLiteralsAreTextEveryMatchHolds)
{
    EXPECT_EQ(Literals{"/user/"}, literalsOf("/user/[0-9]+"));
    EXPECT_EQ(Literals{"/item/"}, literalsOf("/(shop|store)/item/([0-9]+)"));
    EXPECT_EQ((Literals{"/a", "/bc"}), literalsOf("/a|/bc[0-9]"));
    EXPECT_EQ(Literals{"xy"}, literalsOf("XYz?[a]q"));         // lower case; "z?" is not required
    EXPECT_EQ(Literals{"/a."}, literalsOf("/a\\.b{2}"));      // the count takes "b"
    EXPECT_EQ(Literals{"/caf"}, literalsOf("/caf\xC3\xA9/x")); // a letter not ASCII may match others
    EXPECT_EQ(Literals{"/latin"}, literalsOf("/latin\xE9"));
    EXPECT_EQ(Literals{"shop"}, literalsOf("(^|/)shop"));
    EXPECT_EQ(std::string(UrlRuleFilter::MAX_LITERAL, 'a'), literalsOf(std::string(100, 'a')).front());
    // Some alternative fixes no text: the rule is a candidate everywhere.
    EXPECT_TRUE(literalsOf("x*").empty());
    EXPECT_TRUE(literalsOf("/a|[0-9]+").empty());
    EXPECT_TRUE(literalsOf("(abc)").empty());
    EXPECT_TRUE(literalsOf("[^/]+").empty());
}

// RE2 pairs ASCII characters with others only for "k" (the Kelvin sign) and
// "s" (the long s), which the filter reads as those letters.
TEST(UrlRuleFilterTest, OnlyKAndSFoldBeyondAscii)
{
    const std::string kelvin = "\xE2\x84\xAA";
    const std::string longS = "\xC5\xBF";
    std::string beyond;
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0x212A || cp == 0x17F)
            continue;
        if (cp < 0x800) {
            beyond.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        } else if (cp < 0x10000) {
            beyond.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            beyond.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        } else {
            beyond.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            beyond.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            beyond.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        }
        beyond.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    std::string latin1;
    for (int b = 0x80; b <= 0xFF; ++b)
        latin1.push_back(static_cast<char>(b));
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_case_sensitive(false);
    RE2::Options latin1Options = options;
    latin1Options.set_encoding(RE2::Options::EncodingLatin1);
    for (int c = 1; c < 0x80; ++c) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "\\x{%X}", c);
        const RE2 one(hex, options);
        const RE2 oneLatin1(hex, latin1Options);
        ASSERT_TRUE(one.ok() && oneLatin1.ok());
        EXPECT_FALSE(RE2::PartialMatch(beyond, one)) << c;
        EXPECT_FALSE(RE2::PartialMatch(latin1, oneLatin1)) << c;
    }
    EXPECT_TRUE(RE2::PartialMatch(kelvin, RE2("k", options)));
    EXPECT_TRUE(RE2::PartialMatch(longS, RE2("S", options)));

    UrlRuleFilter filter;
    filter.add(0, {"/desk/"});
    std::vector<int> out;
    const std::string path = "/De" + longS + kelvin + "/";
    filter.candidates(path.data(), path.size(), out);
    EXPECT_EQ(std::vector<int>{0}, out);
}

// Whatever the pattern and the path, a rule RE2 matches is a candidate.
TEST(UrlRuleFilterTest, NoMatchIsLeftOut)
{
    const std::vector<std::string> pieces = {"a", "B", "k", "S", "/", ".", "\xC3\xA9", "[ab]", "[^/]", "(", ")", "|",
                                             "*", "+", "?", "{2}", "x", "\\.", "()", "[k]", "Sk"};
    const std::vector<std::string> paths = {"/", "/ab", "/AbK/s", "/\xE2\x84\xAA\xC5\xBF", "/x/bb\xC3\xA9",
                                            "/sK.x/", "/a\xE9" "b", "/kks/SSx/a.b"};
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_case_sensitive(false);
    options.set_dot_nl(true);
    options.set_log_errors(false);
    std::mt19937 random(7);
    int matches = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string pattern;
        for (int i = 1 + static_cast<int>(random() % 6); i > 0; --i)
            pattern += pieces[random() % pieces.size()];
        const PosixToRe2::Translation t = PosixToRe2::translate(pattern);
        if (t.outcome != PosixToRe2::Outcome::Translated)
            continue;
        RE2::Options encoded = options;
        encoded.set_encoding(t.latin1 ? RE2::Options::EncodingLatin1 : RE2::Options::EncodingUTF8);
        const RE2 re(t.pattern, encoded);
        if (!re.ok())
            continue;
        UrlRuleFilter filter;
        filter.add(0, UrlRuleFilter::requiredLiterals(t.pattern));
        for (const std::string& path : paths) {
            if (!RE2::PartialMatch(path, re))
                continue;
            ++matches;
            std::vector<int> out;
            filter.candidates(path.data(), path.size(), out);
            EXPECT_EQ(std::vector<int>{0}, out) << pattern << " on " << path;
        }
    }
    EXPECT_GT(matches, 10000);
}

TEST(UrlRuleFilterTest, CandidatesAreEveryRuleWhoseLiteralOccurs)
{
    UrlRuleFilter filter;
    filter.add(0, {"he"});
    filter.add(1, {"she"});
    filter.add(2, {"hers", "zz"});
    filter.add(3, {});
    filter.add(4, {"e"});
    std::vector<int> out;
    const std::string text = "uSHErS";  // overlapping, and in another case
    filter.candidates(text.data(), text.size(), out);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), out);
    filter.candidates("zz", 2, out);
    EXPECT_EQ((std::vector<int>{2, 3}), out);
    filter.candidates("", 0, out);
    EXPECT_EQ(std::vector<int>{3}, out);
}

// A path's answer and what it is charged depend on the path and the rules
// alone; no run starts that could take the budget past its bound.
TEST(UrlRuleFilterTest, RunsAreChargedAndBoundedAlike)
{
    UrlRuleSet set;
    for (int i = 1; i <= 300; ++i)
        set.add("/s" + std::to_string(i) + "/(.*)y");
    std::string error;
    ASSERT_TRUE(set.compile(error));
    std::string hostile;
    for (int i = 1; hostile.size() < 2000; i = i % 300 + 1)
        hostile += "/s" + std::to_string(i) + "/";
    for (int request = 0; request < 2; ++request) {
        UrlRuleSet::Match match;
        EXPECT_FALSE(set.match(hostile, match, error));
        EXPECT_EQ(-1, match.rule);
        EXPECT_GT(match.charged, 0);
        EXPECT_LE(match.charged, UrlRuleSet::MATCH_BUDGET_NS);
    }
    UrlRuleSet::Match match;
    ASSERT_TRUE(set.match("/s1/s2/s3/s250/ay", match, error));
    EXPECT_EQ(0, match.rule);
    EXPECT_EQ("s2/s3/s250/a", match.groups[1]);
    // Rules whose literal is not in the path are not run at all: only the
    // filter's pass is charged.
    ASSERT_TRUE(set.match("/s/" + std::string(8000, 'y'), match, error));
    EXPECT_EQ(-1, match.rule);
    EXPECT_LT(match.charged, UrlRuleSet::runCost(8003, 1, true));
    // A path on which no rule could be run within the budget is not read.
    EXPECT_FALSE(set.match("/s1/" + std::string(1 << 20, 'y'), match, error));
    EXPECT_EQ(0, match.charged);
}

}  // namespace
