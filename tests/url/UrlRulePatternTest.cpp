// What a URL rule's text says before it is compiled: whether it can only
// match where "^" or "$" would.
#include "extension/url/UrlRulePattern.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using UrlRulePattern::needsLineAnchor;

std::string times(const std::string& text, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += text;
    return out;
}

// Rules are matched with REG_NOTBOL and REG_NOTEOL: a rule that needs an
// anchor on every way through never matches, one with another way does.
TEST(UrlRulePatternTest, RulesThatNeedAnAnchorEverywhere)
{
    for (const char* pattern : {"^/user/[0-9]+$", "^[a-z0-9-]{0,30}$", "^/?[a-z0-9-]{0,32}$", "^.{0,50}/[0-9]+$",
                                "(^|/)[0-9]{0,40}$", "/a$", "(^/a|/b$)", "x^", "(^)+/a", "(^){2,3}/a", "((^))/a"})
        EXPECT_TRUE(needsLineAnchor(pattern)) << pattern;
    for (const char* pattern : {"/user/[0-9]+", "(^|/)index", "/a|^/b", "(^)?/a", "(^)*/a", "(^){0}/a",
                                "(^){0,2}/a", "(^){,2}/a", "[$^]", "\\^/a\\$", "\\b/a\\b", "", "()", "a{1|^b",
                                "(^|)/a"})
        EXPECT_FALSE(needsLineAnchor(pattern)) << pattern;
}

// A rules file holds up to 1 MiB of any bytes: read in linear time, never
// past the end.
TEST(UrlRulePatternTest, AnyInputIsReadWholeAndOnlyOnce)
{
    for (const char* unit : {"(", ")", "[", "a{1,9}", "[[:", "(^|", "x?", "\\", "{", "\xC3\xA9", "^"}) {
        const std::string pattern = times(unit, (1 << 20) / static_cast<int>(std::char_traits<char>::length(unit)));
        needsLineAnchor(pattern);
    }
    for (const std::string pattern : {"[", "[^", "[[:", "[[:alpha:]", "\\", "a\\", "a{", "a{1,", ")", "|"}) {
        needsLineAnchor(pattern);
    }
}

} // namespace
