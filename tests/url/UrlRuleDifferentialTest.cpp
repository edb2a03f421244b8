// The RE2 rules collapse every path as the C library's regexec() did
// (REG_EXTENDED | REG_ICASE, REG_NOTBOL | REG_NOTEOL, under C.UTF-8), over
// a corpus of rules and paths, but for the differences the README lists
// and for long paths that would cost the rules more than their budget.
#include "extension/url/UrlRuleSet.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>
#include <regex.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Rule = std::pair<std::string, std::string>;  // pattern, replacement

std::string replaced(std::string result, const std::string* groups, int count)
{
    for (char sigil : {'$', '\\'})
        for (int i = 0; i < count; ++i) {
            const std::string key{sigil, static_cast<char>('0' + i)};
            const std::size_t at = result.find(key);
            if (at != std::string::npos)
                result.replace(at, key.size(), groups[i]);
        }
    return result;
}

// The collapsed path as it was: each rule in turn with regexec().
std::string byGlibc(const std::vector<regex_t>& compiled, const std::vector<Rule>& rules, const std::string& path)
{
    for (std::size_t r = 0; r < compiled.size(); ++r) {
        regmatch_t m[UrlRuleSet::SLOTS];
        if (regexec(&compiled[r], path.c_str(), UrlRuleSet::SLOTS, m, REG_NOTBOL | REG_NOTEOL) != 0)
            continue;
        std::string groups[UrlRuleSet::SLOTS];
        int n = 0;
        for (; n < UrlRuleSet::SLOTS && m[n].rm_so >= 0; ++n)
            groups[n] = path.substr(static_cast<std::size_t>(m[n].rm_so), static_cast<std::size_t>(m[n].rm_eo - m[n].rm_so));
        return replaced(rules[r].second, groups, n);
    }
    return path;
}

// False when the path would cost the rules more than their budget: only a
// long path may.
bool byRe2(UrlRuleSet& set, const std::vector<Rule>& rules, const std::string& path, std::string& collapsed)
{
    UrlRuleSet::Match match;
    std::string error;
    if (!set.match(path, match, error)) {
        EXPECT_GT(path.size(), 1024u) << error;
        return false;
    }
    collapsed =
        match.rule < 0 ? path : replaced(rules[static_cast<std::size_t>(match.rule)].second, match.groups, match.groupCount);
    return true;
}

// The differences the README lists: POSIX classes hold ASCII characters
// only; Unicode case folding pairs a few more characters than the C
// library's upper case does (the Kelvin sign with "k"); where
// an empty alternative and a group both match the empty string at the same
// place, the C library leaves the group out and RE2 takes it.
bool documented(const std::string& pattern, const std::string& path)
{
    const bool emptyAlternative = pattern.front() == '|' || pattern.back() == '|'
                                  || pattern.find("||") != std::string::npos || pattern.find("(|") != std::string::npos
                                  || pattern.find("|)") != std::string::npos;
    if (emptyAlternative)
        return true;
    const bool classes = pattern.find("[:") != std::string::npos;
    const bool caseOrbits = path.find("\xE2\x84\xAA") != std::string::npos;
    bool nonAscii = false;
    for (char c : path)
        nonAscii = nonAscii || static_cast<unsigned char>(c) >= 0x80;
    return (classes && nonAscii) || caseOrbits;
}

struct Figures {
    int pairs = 0;
    int documentedDifferences = 0;
    int refusedByUs = 0;
    int invalidForBoth = 0;
    int overBudget = 0;
};

// Compares one rule file (first match wins) on every path; the rules that
// both engines take must give the same collapsed path.
void compare(const std::vector<Rule>& file, const std::vector<std::string>& paths, Figures& figures)
{
    UrlRuleSet set;
    std::vector<Rule> kept;
    std::vector<regex_t> compiled;
    for (const Rule& rule : file) {
        regex_t re;
        const bool glibcTakes = regcomp(&re, rule.first.c_str(), REG_EXTENDED | REG_ICASE) == 0;
        const UrlRuleSet::Added added = set.add(rule.first);
        const bool weTake = added.verdict == UrlRuleSet::Verdict::Accepted;
        // Nothing the C library refused is taken.
        EXPECT_TRUE(glibcTakes || !weTake) << rule.first;
        if (!glibcTakes) {
            ++figures.invalidForBoth;
            continue;
        }
        if (!weTake) {
            ++figures.refusedByUs;
            regfree(&re);
            continue;
        }
        kept.push_back(rule);
        compiled.push_back(re);
    }
    std::string error;
    ASSERT_TRUE(set.compile(error)) << error;
    for (const std::string& path : paths) {
        ++figures.pairs;
        const std::string expected = byGlibc(compiled, kept, path);
        std::string actual;
        if (!byRe2(set, kept, path, actual)) {
            ++figures.overBudget;
            continue;
        }
        if (expected == actual)
            continue;
        bool known = false;
        for (const Rule& rule : kept)
            known = known || documented(rule.first, path);
        if (known)
            ++figures.documentedDifferences;
        else
            ADD_FAILURE() << "rules starting " << kept.front().first << " (" << kept.size() << "), path " << path
                          << ": glibc " << expected << ", RE2 " << actual;
    }
    for (regex_t& re : compiled)
        regfree(&re);
}

class UrlRuleDifferentialTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* previous = std::setlocale(LC_ALL, nullptr);
        saved = previous != nullptr ? previous : "C";
        ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C.UTF-8"));
    }
    void TearDown() override { std::setlocale(LC_ALL, saved.c_str()); }
    std::string saved;
};

std::vector<std::string> ordinaryPaths()
{
    std::vector<std::string> paths = {
        "/", "/user/42", "/user/42/profile", "/USER/42", "/api/user/7/x", "/shop/item/77", "/Store/Item/8/",
        "/2024/05/hello-world", "/category/news/page/2", "/tag/caf\xC3\xA9", "/CAF\xC3\x89/\xC3\xA9t\xC3\xA9",
        "/\xC3\xBC" "ber/\xE6\x97\xA5\xE6\x9C\xAC", "/a\xE9" "b/\xFF/x", "/latin\xE9", "/\xC3", "/k\xE2\x84\xAA/s\xC5\xBF",
        "/api/v2/orders/deadbeef01", "/index.php", "/wp-admin/edit.php?x", "/static/css/site.css",
        "/product/blue-shirt-xl", "/cart", "/checkout/step2", "/a//b///c", "/aab/ba/abab", "/x\ny", "/[x]/{1}/a.b"};
    std::string longPath = "/";
    for (int i = 0; i < 300; ++i)
        longPath += "ab/";
    paths.push_back(longPath);
    paths.push_back("/" + std::string(8191, 'a'));
    paths.push_back("/user/" + std::string(8000, '9'));
    return paths;
}

TEST_F(UrlRuleDifferentialTest, RealisticRuleFiles)
{
    const std::vector<std::vector<Rule>> files = {
        // The README's examples.
        {{"/user/[0-9]+", "/user/{id}"}, {"/(shop|store)/item/([0-9]+)", "/$1/item"}, {"(^|/)shop", "/shop"},
         {"^/user/[0-9]+$", "/anchored"}},
        // A blog.
        {{"/wp-admin/.*", "/wp-admin"}, {"/([0-9]{4})/([0-9]{2})/[^/]+", "/$1/$2/{post}"},
         {"/category/([^/]+)(/page/[0-9]+)?", "/category/$1"}, {"/tag/([^/]+)", "/tag/{tag}"},
         {"/author/([[:alnum:]_-]+)", "/author/{a}"}, {"/page/[0-9]+", "/page/{n}"}, {"[^/]+\\.php", "/x.php"}},
        // A shop.
        {{"/product/([a-z0-9-]+)", "/product/{p}"}, {"/cart(/.*)?", "/cart"}, {"/checkout/(step[1-3])", "/checkout/\\1"},
         {"/(shop|store)/item/([0-9]+)", "/$1/item"}, {"/static/.*\\.(css|js|png)", "/static/{$1}"},
         {"/caf\xC3\xA9/[0-9]+", "/caf\xC3\xA9/{n}"}, {"/latin\xE9", "/l"}},
        // An API.
        {{"/api/v[12]/users/[0-9]+", "/api/users/{id}"}, {"/api/v[12]/orders/[0-9a-f]{8,32}", "/api/orders/{id}"},
         {"/api/(v[0-9]+)/([a-z]+)/[0-9]+", "/api/$1/$2/{id}"}, {"/api/.*", "/api/other"}},
        // Alternations, counts, classes and groups at their edges.
        {{"(a|ab)(c|bcd)(d*)", "[$0][$1][$2][$3]"}, {"x(a|b)*", "[$0][$1]"}, {"(a*)+", "[$0][$1]"},
         {"/(.*)/(.*)", "[$1][$2]"}, {"([^/]*)/([^/]*)", "[$1][$2]"}, {"/(a){0}(b)?", "[$1][$2]"},
         {"/[[:digit:]]{2,}", "/{n}"}, {"/[A-z]+", "/{w}"}, {"/[]x[]+/", "/{b}"}, {"a{,2}b", "{$0}"},
         {"/(ab|a)(bab)?", "[$1][$2]"}, {"()/", "[$1]"}, {"\\.", "{dot}"}, {"/(k+|s+)", "[$1]"}},
    };
    Figures figures;
    const std::vector<std::string> paths = ordinaryPaths();
    for (const std::vector<Rule>& file : files) {
        compare(file, paths, figures);
        // Each rule alone as well, so that the later rules are compared too.
        for (const Rule& rule : file)
            compare({rule}, paths, figures);
    }
    std::printf("realistic: %d pairs, %d documented differences, %d over the budget, %d rules refused\n",
                figures.pairs, figures.documentedDifferences, figures.overBudget, figures.refusedByUs);
}

// Patterns put together at random from the pieces rules are made of.
TEST_F(UrlRuleDifferentialTest, FuzzedPatterns)
{
    const std::vector<std::string> pieces = {"a", "b", "/", ".", "\xC3\xA9", "[ab]", "[^/]", "[[:alpha:]]", "(", ")",
                                             "|", "*", "+", "?", "{1,2}", "{,2}", "{2}", "^", "$", "[0-9]", "A",
                                             "\\.", "[a-]", "x", "()"};
    std::vector<std::string> paths = {"/", "/ab", "/aab/ba", "/AbA/B", "/a.b/x", "/x/ab/xab", "/\xC3\xA9" "a/b",
                                      "/\xC3\x89" "B", "/a\xE9" "b", "/12/a3", "abba/abba/x", "/" + std::string(60, 'a') + "x"};
    std::mt19937 random(20220601);
    Figures figures;
    for (int n = 0; n < 20000; ++n) {
        std::string pattern;
        const int length = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < length; ++i)
            pattern += pieces[random() % pieces.size()];
        compare({{pattern, "[$0][$1][$2][$3]"}}, paths, figures);
    }
    EXPECT_EQ(0, figures.overBudget);
    std::printf("fuzzed: %d pairs, %d documented differences, %d rules refused, %d invalid for both\n", figures.pairs,
                figures.documentedDifferences, figures.refusedByUs, figures.invalidForBoth);
}

} // namespace
