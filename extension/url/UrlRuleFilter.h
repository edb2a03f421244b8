#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Which URL rules can match a path, found in one pass over it, in time linear
// in the path whatever the rules: each rule is known by a text every one of
// its matches holds (its "literal", without regard to ASCII case), and all
// literals are looked for at once (an Aho-Corasick automaton). A rule whose
// pattern does not fix such a text is a candidate for every path.
class UrlRuleFilter {
public:
    // The literals a pattern in RE2's POSIX syntax (as PosixToRe2 writes it)
    // requires: one per alternative at its top level, the longest run of
    // plain ASCII characters there, at most MAX_LITERAL bytes of it, lower
    // case. Empty when some alternative requires none.
    static std::vector<std::string> requiredLiterals(const std::string& re2Pattern);
    static constexpr std::size_t MAX_LITERAL = 64;
    // Literals the filter holds: a rule that would take it past this is a
    // candidate everywhere. It bounds what one path's pass can report.
    static constexpr std::size_t MAX_LITERALS = 100000;

    // Rule `rule` (rules are added in increasing order) is a candidate
    // wherever one of `literals` occurs, or everywhere when there are none
    // (or when the automaton is already built).
    void add(int rule, const std::vector<std::string>& literals);
    // The candidates for `text`, in increasing order, and the steps taken:
    // at most two steps of the automaton per byte, one per literal found
    // (at most MAX_LITERALS) and one per candidate (each rule once).
    std::size_t candidates(const char* text, std::size_t size, std::vector<int>& out);
    // Builds the automaton after the last add() (candidates() does it too):
    // time and memory linear in the literals' bytes, which the rule file's
    // size bounds.
    void build();
    void clear();

private:
    struct Node {
        int32_t fail = 0;
        int32_t output = -1;     // the nearest node on the fail chain that ends a literal
        int32_t firstRule = 0;   // its rules, in `rulesAt`, when a literal ends here
        int32_t ruleCount = 0;
        uint32_t seen = 0;       // the pass that last reported it
    };
    struct Pending {
        uint32_t offset;  // in pendingBytes
        uint32_t length;
        int32_t rule;
    };
    int child(int node, unsigned char byte) const;
    // The state after `byte`: the child, or that of the longest suffix
    // that has one (following fail links), counting the steps.
    int next(int state, unsigned char byte, std::size_t& steps) const;

    // Before build(): the literals, their bytes end to end.
    std::string pendingBytes;
    std::vector<Pending> pending;
    // After: the trie, breadth first; a node's edges are firstEdge[node] to
    // firstEdge[node + 1] in edgeByte/edgeTarget, sorted by byte.
    std::vector<Node> nodes;
    std::vector<uint32_t> firstEdge;
    std::vector<unsigned char> edgeByte;
    std::vector<int32_t> edgeTarget;
    int32_t rootEdge[256];
    std::vector<int> rulesAt;
    std::vector<int> everywhere;
    std::vector<uint32_t> ruleSeen;  // the pass that last found each rule
    bool built = false;
    uint32_t pass = 0;
};
