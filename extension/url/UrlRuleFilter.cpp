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
    const auto it = edges.find(static_cast<uint64_t>(node) << 8 | byte);
    return it == edges.end() ? -1 : it->second;
}

void UrlRuleFilter::add(int rule, const std::vector<std::string>& literals)
{
    if (literals.empty()) {
        everywhere.push_back(rule);
        return;
    }
    for (const std::string& literal : literals) {
        int node = 0;
        for (char c : literal) {
            const unsigned char byte = folded(static_cast<unsigned char>(c));
            int next = child(node, byte);
            if (next < 0) {
                next = static_cast<int>(nodes.size());
                nodes.push_back(Node{});
                edges.emplace(static_cast<uint64_t>(node) << 8 | byte, next);
            }
            node = next;
        }
        if (nodes[static_cast<std::size_t>(node)].rules < 0) {
            nodes[static_cast<std::size_t>(node)].rules = static_cast<int>(ruleLists.size());
            ruleLists.emplace_back();
        }
        std::vector<int>& list = ruleLists[static_cast<std::size_t>(nodes[static_cast<std::size_t>(node)].rules)];
        if (list.empty() || list.back() != rule)
            list.push_back(rule);
    }
    built = false;
}

void UrlRuleFilter::build()
{
    if (built)
        return;
    // Breadth first, so that a node's fail link is known before its
    // children's: the children of each node, found through the edge table.
    std::vector<std::vector<std::pair<unsigned char, int>>> children(nodes.size());
    for (const auto& edge : edges)
        children[static_cast<std::size_t>(edge.first >> 8)].emplace_back(static_cast<unsigned char>(edge.first & 0xFF),
                                                                          edge.second);
    std::vector<int> queue{0};
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int node = queue[head];
        for (const auto& [byte, next] : children[static_cast<std::size_t>(node)]) {
            int fail = 0;
            if (node != 0) {
                int f = nodes[static_cast<std::size_t>(node)].fail;
                for (;;) {
                    const int c = child(f, byte);
                    if (c >= 0) {
                        fail = c;
                        break;
                    }
                    if (f == 0)
                        break;
                    f = nodes[static_cast<std::size_t>(f)].fail;
                }
            }
            Node& n = nodes[static_cast<std::size_t>(next)];
            n.fail = fail;
            const Node& f = nodes[static_cast<std::size_t>(fail)];
            n.output = f.rules >= 0 ? fail : f.output;
            queue.push_back(next);
        }
    }
    built = true;
}

void UrlRuleFilter::candidates(const char* text, std::size_t size, std::vector<int>& out)
{
    out.assign(everywhere.begin(), everywhere.end());
    if (nodes.size() == 1)
        return;
    build();
    if (++pass == 0) {
        for (Node& n : nodes)
            n.seen = 0;
        pass = 1;
    }
    int state = 0;
    for (std::size_t i = 0; i < size;) {
        const unsigned char byte = nextFolded(text, size, i);
        for (;;) {
            const int next = child(state, byte);
            if (next >= 0) {
                state = next;
                break;
            }
            if (state == 0)
                break;
            state = nodes[static_cast<std::size_t>(state)].fail;
        }
        // Every literal ending here, up to one this pass already reported
        // (those after it on the chain were reported with it).
        for (int node = nodes[static_cast<std::size_t>(state)].rules >= 0 ? state
                                                                          : nodes[static_cast<std::size_t>(state)].output;
             node >= 0 && nodes[static_cast<std::size_t>(node)].seen != pass;
             node = nodes[static_cast<std::size_t>(node)].output) {
            Node& n = nodes[static_cast<std::size_t>(node)];
            n.seen = pass;
            const std::vector<int>& rules = ruleLists[static_cast<std::size_t>(n.rules)];
            out.insert(out.end(), rules.begin(), rules.end());
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void UrlRuleFilter::clear()
{
    nodes.assign(1, Node{});
    edges.clear();
    ruleLists.clear();
    everywhere.clear();
    built = true;
    pass = 0;
}
