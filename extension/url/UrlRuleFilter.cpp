#include "extension/url/UrlRuleFilter.h"

#include <algorithm>
#include <cstdlib>

namespace {

unsigned char folded(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Without regard to case RE2 also pairs "k" with the Kelvin sign and "s"
// with the long s (Unicode's case folding), the only ASCII characters it
// pairs with others: the path is read with those two as "k" and "s". (A
// literal is ASCII, so reading two or three bytes as one letter can only
// find more candidates, never fewer.)
const unsigned char kKelvin[] = {0xE2, 0x84, 0xAA};
const unsigned char kLongS[] = {0xC5, 0xBF};

unsigned char nextFolded(const char* text, std::size_t size, std::size_t& i)
{
    const auto* at = reinterpret_cast<const unsigned char*>(text) + i;
    const std::size_t left = size - i;
    if (left >= 2 && at[0] == kLongS[0] && at[1] == kLongS[1]) {
        i += 2;
        return 's';
    }
    if (left >= 3 && at[0] == kKelvin[0] && at[1] == kKelvin[1] && at[2] == kKelvin[2]) {
        i += 3;
        return 'k';
    }
    ++i;
    return folded(at[0]);
}

// One piece at the top level of a pattern PosixToRe2 wrote: a character, a
// bracket expression, a group or ".", with what repeats it.
struct Piece {
    bool plain = false;  // an ASCII character matched as itself (and its case)
    unsigned char c = 0;
    bool repeated = false;  // followed by "*", "+", "?" or a count
};

// Past the bracket expression opening at `i` (its members are written
// "\x{..}", "[:name:]", "^" and "-").
std::size_t pastBracket(const std::string& p, std::size_t i)
{
    for (++i; i < p.size(); ++i) {
        if (p[i] == '\\') {
            const std::size_t close = p.find('}', i);
            if (close == std::string::npos)
                return p.size();
            i = close;
        } else if (p[i] == '[' && i + 1 < p.size() && p[i + 1] == ':') {
            const std::size_t close = p.find(":]", i + 2);
            if (close == std::string::npos)
                return p.size();
            i = close + 1;
        } else if (p[i] == ']') {
            return i + 1;
        }
    }
    return p.size();
}

// "\x{HEX}" at `i`: its value, and `i` past it.
unsigned long escaped(const std::string& p, std::size_t& i)
{
    const std::size_t close = p.find('}', i);
    const std::size_t end = close == std::string::npos ? p.size() : close;
    const unsigned long value = i + 3 < end ? std::strtoul(p.substr(i + 3, end - i - 3).c_str(), nullptr, 16) : 0x80;
    i = end + 1;
    return value;
}

}  // namespace

std::vector<std::string> UrlRuleFilter::requiredLiterals(const std::string& p)
{
    std::vector<std::string> literals;
    std::vector<Piece> pieces;
    auto endBranch = [&]() -> bool {
        std::string best;
        std::string run;
        for (std::size_t k = 0; k <= pieces.size(); ++k) {
            if (k < pieces.size() && pieces[k].plain && !pieces[k].repeated) {
                run.push_back(static_cast<char>(pieces[k].c));
                continue;
            }
            if (run.size() > best.size())
                best = run;
            run.clear();
        }
        pieces.clear();
        if (best.empty())
            return false;
        literals.push_back(best.substr(0, MAX_LITERAL));
        return true;
    };
    for (std::size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (c == '|') {
            if (!endBranch())
                return {};
            ++i;
        } else if (c == '*' || c == '+' || c == '?') {
            if (!pieces.empty())
                pieces.back().repeated = true;
            ++i;
        } else if (c == '{') {
            if (!pieces.empty())
                pieces.back().repeated = true;
            const std::size_t close = p.find('}', i);
            i = close == std::string::npos ? p.size() : close + 1;
        } else if (c == '[') {
            pieces.push_back(Piece{});
            i = pastBracket(p, i);
        } else if (c == '(') {
            // The whole group is one piece: what it requires is not looked at.
            int depth = 0;
            for (; i < p.size(); ++i) {
                if (p[i] == '\\')
                    escaped(p, i), --i;
                else if (p[i] == '[')
                    i = pastBracket(p, i) - 1;
                else if (p[i] == '(')
                    ++depth;
                else if (p[i] == ')' && --depth == 0)
                    break;
            }
            ++i;
            pieces.push_back(Piece{});
        } else if (c == '\\') {
            const unsigned long value = escaped(p, i);
            Piece piece;
            piece.plain = value < 0x80;
            piece.c = folded(static_cast<unsigned char>(value));
            pieces.push_back(piece);
        } else {
            // An ASCII letter or digit, or ".".
            Piece piece;
            piece.plain = c != '.';
            piece.c = folded(static_cast<unsigned char>(c));
            pieces.push_back(piece);
            ++i;
        }
    }
    if (!endBranch())
        return {};
    return literals;
}

int UrlRuleFilter::child(int node, unsigned char byte) const
{
    if (node == 0)
        return rootEdge[byte];
    const auto begin = edgeByte.begin() + firstEdge[static_cast<std::size_t>(node)];
    const auto end = edgeByte.begin() + firstEdge[static_cast<std::size_t>(node) + 1];
    const auto at = std::lower_bound(begin, end, byte);
    return at != end && *at == byte ? edgeTarget[static_cast<std::size_t>(at - edgeByte.begin())] : -1;
}

int UrlRuleFilter::next(int state, unsigned char byte, std::size_t& steps) const
{
    for (;; state = nodes[static_cast<std::size_t>(state)].fail) {
        ++steps;
        const int c = child(state, byte);
        if (c >= 0)
            return c;
        if (state == 0)
            return 0;
    }
}

void UrlRuleFilter::add(int rule, const std::vector<std::string>& literals)
{
    if (ruleSeen.size() <= static_cast<std::size_t>(rule))
        ruleSeen.resize(static_cast<std::size_t>(rule) + 1, 0);
    if (literals.empty() || built || pending.size() + literals.size() > MAX_LITERALS) {
        everywhere.push_back(rule);
        return;
    }
    for (const std::string& literal : literals) {
        pending.push_back(Pending{static_cast<uint32_t>(pendingBytes.size()), static_cast<uint32_t>(literal.size()), rule});
        for (char c : literal)
            pendingBytes.push_back(static_cast<char>(folded(static_cast<unsigned char>(c))));
    }
}

void UrlRuleFilter::build()
{
    if (built)
        return;
    built = true;
    std::fill(std::begin(rootEdge), std::end(rootEdge), -1);
    nodes.assign(1, Node{});
    firstEdge.clear();
    const char* bytes = pendingBytes.data();
    auto byteAt = [&](const Pending& p, std::size_t depth) { return static_cast<unsigned char>(bytes[p.offset + depth]); };
    std::sort(pending.begin(), pending.end(), [&](const Pending& a, const Pending& b) {
        const int order = std::string::traits_type::compare(bytes + a.offset, bytes + b.offset, std::min(a.length, b.length));
        if (order != 0)
            return order < 0;
        return a.length != b.length ? a.length < b.length : a.rule < b.rule;
    });
    // Breadth first: each node is the literals [lo, hi) that share its
    // first `depth` bytes; those of that length end there, the others go on
    // to its children, one per next byte. Nodes are numbered in the order
    // they are reached, so each node's edges follow the previous node's.
    struct Range {
        std::size_t lo, hi, depth;
    };
    std::vector<Range> ranges{{0, pending.size(), 0}};
    for (std::size_t node = 0; node < ranges.size(); ++node) {
        auto [lo, hi, depth] = ranges[node];
        Node& n = nodes[node];
        n.firstRule = static_cast<int32_t>(rulesAt.size());
        for (; lo < hi && pending[lo].length == depth; ++lo)
            if (rulesAt.size() == static_cast<std::size_t>(n.firstRule) || rulesAt.back() != pending[lo].rule)
                rulesAt.push_back(pending[lo].rule);
        n.ruleCount = static_cast<int32_t>(rulesAt.size()) - n.firstRule;
        firstEdge.push_back(static_cast<uint32_t>(edgeByte.size()));
        while (lo < hi) {
            const unsigned char byte = byteAt(pending[lo], depth);
            std::size_t end = lo;
            while (end < hi && byteAt(pending[end], depth) == byte)
                ++end;
            const auto next = static_cast<int32_t>(nodes.size());
            nodes.push_back(Node{});
            edgeByte.push_back(byte);
            edgeTarget.push_back(next);
            if (node == 0)
                rootEdge[byte] = next;
            ranges.push_back(Range{lo, end, depth + 1});
            lo = end;
        }
    }
    firstEdge.push_back(static_cast<uint32_t>(edgeByte.size()));
    // Fail and output links, breadth first: a node's fail link is known
    // before its children's.
    for (std::size_t node = 0; node < nodes.size(); ++node) {
        for (uint32_t e = firstEdge[node]; e < firstEdge[node + 1]; ++e) {
            std::size_t ignored = 0;
            const int fail = node == 0 ? 0 : next(nodes[node].fail, edgeByte[e], ignored);
            Node& n = nodes[static_cast<std::size_t>(edgeTarget[e])];
            n.fail = fail;
            const Node& f = nodes[static_cast<std::size_t>(fail)];
            n.output = f.ruleCount > 0 ? fail : f.output;
        }
    }
    pending = {};
    pendingBytes = {};
}

std::size_t UrlRuleFilter::candidates(const char* text, std::size_t size, std::vector<int>& out)
{
    build();
    if (++pass == 0) {
        for (Node& n : nodes)
            n.seen = 0;
        std::fill(ruleSeen.begin(), ruleSeen.end(), 0);
        pass = 1;
    }
    out.clear();
    std::size_t steps = 0;
    auto found = [&](int rule) {
        ++steps;
        uint32_t& seen = ruleSeen[static_cast<std::size_t>(rule)];
        if (seen != pass) {
            seen = pass;
            out.push_back(rule);
        }
    };
    for (int rule : everywhere)
        found(rule);
    int state = 0;
    for (std::size_t i = 0; nodes.size() > 1 && i < size;) {
        state = next(state, nextFolded(text, size, i), steps);
        // Every literal ending here, up to one this pass already reported
        // (those after it on the chain were reported with it).
        const Node& at = nodes[static_cast<std::size_t>(state)];
        for (int node = at.ruleCount > 0 ? state : at.output;
             node >= 0 && nodes[static_cast<std::size_t>(node)].seen != pass;
             node = nodes[static_cast<std::size_t>(node)].output) {
            Node& n = nodes[static_cast<std::size_t>(node)];
            n.seen = pass;
            for (int32_t r = n.firstRule; r < n.firstRule + n.ruleCount; ++r)
                found(rulesAt[static_cast<std::size_t>(r)]);
        }
    }
    std::sort(out.begin(), out.end());
    return steps + out.size();
}

void UrlRuleFilter::clear()
{
    pendingBytes.clear();
    pending.clear();
    nodes.clear();
    firstEdge.clear();
    edgeByte.clear();
    edgeTarget.clear();
    rulesAt.clear();
    everywhere.clear();
    ruleSeen.clear();
    built = false;
    pass = 0;
}
