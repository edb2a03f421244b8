#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What compiling a URL rule's pattern with the C library's regcomp()
// (REG_EXTENDED | REG_ICASE, UTF-8 locale) would cost, estimated from its
// text alone so that a costly rule is refused before regcomp() is called:
// every worker compiles every rule, under php-cgi at every request.
// regcomp() copies out counted repetitions (nested counts multiply), then
// computes for every node the set of nodes it reaches without consuming a
// character; those sets, not the copies, are most of the cost.
struct UrlRuleCost {
    // Nodes of the automaton: each character, bracket expression (three),
    // anchor, group (two), alternative and repetition operator, once for
    // every copy: `q{m,n}` makes n copies of q (m + 1 for `q{m,}`), `q+` two.
    std::uint64_t nodes = 0;
    // Those reach sets' sizes summed. Group ends, choices, loops and anchors
    // reach on; the optional copies of `q{m,n}` all reach one another, so
    // this grows with the square of the count.
    std::uint64_t reach = 0;
    // The same sum over the anchors (`^`, `$`, `\b`, `\<`, ...) alone:
    // regcomp() copies what an anchor reaches, once per anchor, at a cost
    // that grows much faster (`^(a?){1,200}` takes 2.4 s).
    std::uint64_t anchorReach = 0;
    // Unbounded repetitions (`*`, `+`, `{m,}`) of something that can match
    // the empty string, once per copy. Around such a loop regcomp() computes
    // again and again what the nodes before it reach (`(a?){1,200}(a*)*`
    // takes ten times as long as `(a?){1,200}`), doubling with each loop.
    std::uint64_t emptyLoops = 0;

    // What the limits apply to: reach plus NODE_WORK per node, and the
    // anchors' reach, each times 16 for one empty loop and twice that for
    // each further one. A unit of work takes regcomp() about 50 to 100 ns
    // and at most 15 bytes.
    std::uint64_t work() const;
    std::uint64_t anchorWork() const;

    // Larger values are given as this one; so are all those of a pattern
    // nested deeper than MAX_DEPTH groups (which would be refused anyway).
    static constexpr std::uint64_t SATURATED = std::uint64_t{1} << 48;
    static constexpr std::size_t MAX_DEPTH = 1000;

    // Within these limits regcomp() took at most 45 ms and 8 MB on this
    // machine (glibc 2.36) for the costliest patterns found, and they leave
    // ordinary rules room: `[0-9]{1,400}`, `(/[^/]+){1,400}`, `^/a/[0-9]+$`.
    static constexpr std::uint64_t NODE_WORK = 20;
    static constexpr std::uint64_t MAX_WORK = 400000;
    static constexpr std::uint64_t MAX_ANCHOR_WORK = 100;
};

// The estimate, in time linear in the pattern's length. Any bytes are
// accepted, patterns regcomp() would refuse included.
UrlRuleCost urlRuleCost(const std::string& pattern);

// Index of the "]" that closes the bracket expression opening at `open` (a
// "["), or the pattern's size when none does. A "]" first (after "^") is a
// member; "[:", "[." and "[=" open classes that end with ":]", ".]", "=]".
std::size_t bracketExpressionClose(const std::string& pattern, std::size_t open);
