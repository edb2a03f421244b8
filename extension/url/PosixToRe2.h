#pragma once

#include <string>

// Rewrites a URL rule's pattern, a POSIX extended expression as the C
// library's regcomp() reads it (REG_EXTENDED | REG_ICASE, in a UTF-8 locale),
// into RE2's POSIX syntax with the same meaning, so that the rule can be
// matched in time linear in the path. Groups keep their numbers. Any bytes
// are read, in time linear in the pattern's length.
namespace PosixToRe2 {

enum class Outcome {
    Translated,
    Invalid,      // regcomp() refuses it too: `reason` says why
    Unsupported,  // valid, but meant something RE2 cannot say: `reason` names it
};

struct Translation {
    Outcome outcome = Outcome::Invalid;
    std::string pattern;  // the RE2 pattern, when translated
    // The pattern is not valid UTF-8: it is matched byte by byte (RE2's
    // Latin-1 encoding), as its stray bytes are matched by the C library.
    bool latin1 = false;
    std::string reason;
};

// "^" and "$" never match (the rules are matched as the middle of a line);
// "{,n}" is "{0,n}"; "\" is an ordinary character inside a bracket
// expression; an unmatched ")" is an ordinary character; a range's ends are
// read in upper case, as the C library reads them without regard to case.
// Back-references, collating elements "[[.x.]]", equivalence classes
// "[[=x=]]" and the GNU operators ("\<", "\>", "\`", "\'", "\b", "\B", "\w",
// "\W", "\s", "\S") are Unsupported.
Translation translate(const std::string& posix);

}  // namespace PosixToRe2
