#pragma once

#include <cstddef>
#include <string>

// What a URL rule's pattern (a POSIX extended expression) says, read from its
// text as regcomp() reads it. Any bytes are accepted, patterns regcomp()
// would refuse included, in time linear in the pattern's length.
namespace UrlRulePattern {

// Index of the "]" that closes the bracket expression opening at `open` (a
// "["), or the pattern's size when none does. A "]" first (after "^") is a
// member; "[:", "[." and "[=" open classes that end with ":]", ".]", "=]".
std::size_t bracketExpressionClose(const std::string& pattern, std::size_t open);

// Whether every match must pass a "^" or a "$". The rules are matched with
// REG_NOTBOL and REG_NOTEOL, where neither ever matches: such a rule never
// matches anything.
bool needsLineAnchor(const std::string& pattern);

}  // namespace UrlRulePattern
