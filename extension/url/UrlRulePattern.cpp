#include "extension/url/UrlRulePattern.h"

#include <vector>

namespace UrlRulePattern {

std::size_t bracketExpressionClose(const std::string& pattern, std::size_t open)
{
    std::size_t j = open + 1;
    if (j < pattern.size() && pattern[j] == '^')
        ++j;
    if (j < pattern.size() && pattern[j] == ']')
        ++j;
    while (j < pattern.size() && pattern[j] != ']') {
        if (pattern[j] == '[' && j + 1 < pattern.size()
            && (pattern[j + 1] == ':' || pattern[j + 1] == '.' || pattern[j + 1] == '=')) {
            const char kind = pattern[j + 1];
            const std::size_t close = pattern.find(std::string{kind, ']'}, j + 2);
            j = close == std::string::npos ? pattern.size() : close + 2;
        } else {
            ++j;
        }
    }
    return j;
}

namespace {

// One group level (the whole pattern is the outermost): whether every
// alternative so far, and the current one, needs an anchor, and whether
// the last item does (a repetition operator applies to it).
struct Level {
    bool alternativesNeed = true;
    bool hasAlternatives = false;
    bool branchNeeds = false;
    bool lastNeeds = false;
    bool hasLast = false;

    void commit()
    {
        branchNeeds = branchNeeds || (hasLast && lastNeeds);
        hasLast = false;
    }
    void push(bool needs)
    {
        commit();
        lastNeeds = needs;
        hasLast = true;
    }
    void bar()
    {
        commit();
        alternativesNeed = alternativesNeed && branchNeeds;
        hasAlternatives = true;
        branchNeeds = false;
    }
    bool close()
    {
        commit();
        return branchNeeds && (!hasAlternatives || alternativesNeed);
    }
};

// Reads a well-formed interval at `i` (a "{": "{m}", "{m,}", "{m,n}",
// "{,n}"), leaving `i` past its "}"; `mayOmit` when its lower bound is 0.
// False, `i` unchanged, for anything else (regcomp() refuses it).
bool readInterval(const std::string& s, std::size_t& i, bool& mayOmit)
{
    std::size_t j = i + 1;
    bool nonZero = false;
    bool lower = false;
    for (; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j) {
        nonZero = nonZero || s[j] != '0';
        lower = true;
    }
    bool comma = false;
    if (j < s.size() && s[j] == ',') {
        comma = true;
        for (++j; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j) {
        }
    }
    if (j >= s.size() || s[j] != '}' || (!lower && !comma))
        return false;
    mayOmit = !nonZero;
    i = j + 1;
    return true;
}

}  // namespace

bool needsLineAnchor(const std::string& pattern)
{
    std::vector<Level> levels(1);
    bool mayOmit = false;
    for (std::size_t i = 0; i < pattern.size();) {
        Level& level = levels.back();
        const char c = pattern[i];
        if (c == '\\') {
            level.push(false);  // an escaped character, or a word anchor
            i += 2;
        } else if (c == '[') {
            level.push(false);
            i = bracketExpressionClose(pattern, i) + 1;
        } else if (c == '(') {
            levels.emplace_back();
            ++i;
        } else if (c == ')' && levels.size() > 1) {
            const bool needs = level.close();
            levels.pop_back();
            levels.back().push(needs);
            ++i;
        } else if (c == '|') {
            level.bar();
            ++i;
        } else if (c == '^' || c == '$') {
            level.push(true);
            ++i;
        } else if ((c == '*' || c == '?' || c == '+') && level.hasLast) {
            // "+" keeps the item's need; the others may leave it out.
            level.lastNeeds = level.lastNeeds && c == '+';
            ++i;
        } else if (c == '{' && level.hasLast && readInterval(pattern, i, mayOmit)) {
            level.lastNeeds = level.lastNeeds && !mayOmit;
        } else {
            level.push(false);  // a character
            ++i;
        }
    }
    // Unclosed groups: regcomp() refuses the pattern anyway.
    while (levels.size() > 1) {
        const bool needs = levels.back().close();
        levels.pop_back();
        levels.back().push(needs);
    }
    return levels.back().close();
}

}  // namespace UrlRulePattern
