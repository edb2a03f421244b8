#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
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

    // Rule `rule` (rules are added in increasing order) is a candidate
    // wherever one of `literals` occurs, or everywhere when there are none.
    void add(int rule, const std::vector<std::string>& literals);
    // The candidates for `text`, in increasing order. At most two steps of
    // the automaton per byte, and one per literal found.
    void candidates(const char* text, std::size_t size, std::vector<int>& out);
    // Readies the automaton after the last add() (candidates() does it too).
    void build();
    void clear();

private:
    struct Node {
        int fail = 0;
        int output = -1;   // the nearest node on the fail chain that ends a literal
        int rules = -1;    // index into ruleLists when a literal ends here
        uint32_t seen = 0; // the pass that last reported it
    };
    int child(int node, unsigned char byte) const;

    std::vector<Node> nodes{Node{}};
    std::unordered_map<uint64_t, int> edges;  // (node << 8 | byte) -> node
    std::vector<std::vector<int>> ruleLists;
    std::vector<int> everywhere;
    bool built = true;
    uint32_t pass = 0;
};
