// Reading a rule's POSIX pattern into RE2's syntax: what the C library
// accepts keeps its meaning, what RE2 cannot say is named and refused.
#include "extension/url/PosixToRe2.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using PosixToRe2::Outcome;
using PosixToRe2::translate;

TEST(PosixToRe2Test, GlibcReadingsKept)
{
    EXPECT_EQ("a{0,3}", translate("a{,3}").pattern);
    EXPECT_EQ("a{0,}", translate("a{,}").pattern);
    EXPECT_EQ("[\\x{5C}\\x{64}]", translate("[\\d]").pattern);         // no escape in brackets
    EXPECT_EQ("[\\x{5D}\\x{61}]", translate("[]a]").pattern);          // "]" first is a member
    EXPECT_EQ("[^\\x{5D}\\x{2D}]", translate("[^]-]").pattern);
    EXPECT_EQ("[\\x{41}-\\x{5A}]", translate("[A-z]").pattern);        // ends read in upper case
    EXPECT_EQ("[[:alpha:]\\x{2D}]", translate("[[:alpha:]-]").pattern);
    EXPECT_EQ("\\x{29}", translate(")").pattern);                      // unmatched ")"
    EXPECT_EQ("([^\\x{0}-\\x{10FFFF}]|\\x{2F})x", translate("(^|/)x").pattern);
    EXPECT_EQ("a*?", translate("a*?").pattern);                        // two operators, not a lazy one
    const auto latin = translate("/latin\xE9");
    EXPECT_TRUE(latin.latin1);
    EXPECT_EQ("\\x{2F}latin\\x{E9}", latin.pattern);
}

TEST(PosixToRe2Test, InvalidAsTheCLibrarySays)
{
    for (const char* p : {"(", "a\\", "*a", "a|*b", "(+a)", "^*", "a{", "a{x}", "a{}", "a{3,2}", "a{32768}", "[a",
                          "[[:alpha:]", "[[:nope:]]", "[z-a]", "[Z-a]", "[a-z-9]", "[[:alpha:]-z]"})
        EXPECT_EQ(Outcome::Invalid, translate(p).outcome) << p;
}

TEST(PosixToRe2Test, ConstructsRe2CannotSayAreNamed)
{
    EXPECT_EQ("a collating element [[.a.]]", translate("[[.a.]]").reason);
    EXPECT_EQ("an equivalence class [[=e=]]", translate("x[[=e=]]").reason);
    EXPECT_EQ("a back-reference (\\1)", translate("(a)\\1").reason);
    // Back-references outside bracket expressions only.
    EXPECT_EQ(Outcome::Unsupported, translate("[a]\\9").outcome);
    EXPECT_EQ(Outcome::Unsupported, translate("[[.].]]\\1").outcome);
    for (const char* p : {"\\\\1", "[\\1]", "[]\\1]", "[[:digit:]\\1]"})  // escaped backslash; no escape in brackets
        EXPECT_EQ(Outcome::Translated, translate(p).outcome) << p;
    for (const char* p : {"\\<a", "a\\>", "\\`a", "a\\'", "\\ba", "\\Ba", "\\w", "\\W", "\\s", "\\S"}) {
        const auto t = translate(p);
        EXPECT_EQ(Outcome::Unsupported, t.outcome) << p;
        EXPECT_EQ(0u, t.reason.find("the GNU operator \\")) << p;
    }
}

} // namespace
