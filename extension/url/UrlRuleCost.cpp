#include "extension/url/UrlRuleCost.h"

#include <algorithm>
#include <vector>

namespace {

using Count = std::uint64_t;
constexpr Count kCap = UrlRuleCost::SATURATED;

Count add(Count a, Count b)
{
    return a >= kCap - std::min(b, kCap) ? kCap : a + b;
}

Count mul(Count a, Count b)
{
    if (a == 0 || b == 0)
        return 0;
    return a > kCap / b ? kCap : std::min(a * b, kCap);
}

// Nodes that pass on without consuming a character (group ends, choices,
// loops, anchors) reach, each, a set of nodes: regcomp() computes and keeps
// all those sets, and copies again the nodes an anchor reaches. A flow
// follows one kind of such source through a piece of the pattern.
struct Flow {
    // Sources whose reach goes on past the piece's exit.
    Count open = 0;
    // Nodes reached within the piece, summed over its sources.
    Count reached = 0;
};

// A part of the pattern as regcomp() builds it.
struct Piece {
    Count nodes = 0;
    // Nodes reachable from its entry without consuming a character.
    Count first = 0;
    // Whether it can match the empty string.
    bool nullable = true;
    // Every node (a node reaches itself), and anchors alone.
    Flow all;
    Flow anchors;
    // Loops whose body can match the empty string.
    Count emptyLoops = 0;
};

// `p` then `next`: the sources still open at the end of `p` reach the start
// of `next`, and go on through it when it can match the empty string.
Flow follow(const Flow& a, const Flow& b, const Piece& next)
{
    return Flow{add(b.open, next.nullable ? a.open : 0), add(add(a.reached, b.reached), mul(a.open, next.first))};
}

void concatenate(Piece& p, const Piece& next)
{
    p.all = follow(p.all, next.all, next);
    p.anchors = follow(p.anchors, next.anchors, next);
    if (p.nullable)
        p.first = add(p.first, next.first);
    p.nullable = p.nullable && next.nullable;
    p.nodes = add(p.nodes, next.nodes);
    p.emptyLoops = add(p.emptyLoops, next.emptyLoops);
}

// `p|next`: one node more, which reaches both and, when either can match the
// empty string, what follows.
void alternate(Piece& p, const Piece& next)
{
    p.nodes = add(add(p.nodes, next.nodes), 1);
    p.first = add(add(p.first, next.first), 1);
    p.nullable = p.nullable || next.nullable;
    p.all.open = add(add(p.all.open, next.all.open), p.nullable ? 1 : 0);
    p.all.reached = add(add(p.all.reached, next.all.reached), p.first);
    p.anchors.open = add(p.anchors.open, next.anchors.open);
    p.anchors.reached = add(p.anchors.reached, next.anchors.reached);
    p.emptyLoops = add(p.emptyLoops, next.emptyLoops);
}

// `q*`: one node more, which reaches `q` and what follows; the end of `q`
// leads back to it.
Piece star(const Piece& q)
{
    Piece r = q;
    const Count loop = add(q.first, 1);
    r.nodes = add(q.nodes, 1);
    r.first = loop;
    r.nullable = true;
    r.all.reached = add(add(q.all.reached, loop), mul(q.all.open, loop));
    r.all.open = add(q.all.open, 1);
    r.anchors.reached = add(q.anchors.reached, mul(q.anchors.open, loop));
    if (q.nullable)
        r.emptyLoops = add(r.emptyLoops, 1);
    return r;
}

// `q` repeated `times` times (by halving: each step is constant time).
Piece power(Piece q, Count times)
{
    Piece r;
    while (times > 0) {
        if (times & 1)
            concatenate(r, q);
        times >>= 1;
        if (times > 0)
            concatenate(q, q);
    }
    return r;
}

// The optional part of `q{m,n}`, j = n - m copies as regcomp() nests them:
// T1 = `q?`, Tj = `(Tj-1 q)?`. Every choice node reaches all those inside
// it, so the choices alone reach j * j / 2 nodes.
Piece optionalCopies(const Piece& q, Count j)
{
    const Count entry = add(q.first, 1);
    const Count triangle = mul(j, j - 1) / 2;
    Piece r;
    r.nodes = mul(j, add(q.nodes, 1));
    r.first = mul(j, entry);
    r.nullable = true;
    // Sources open at the end of Ti-1 reach the start of the next copy.
    const auto chain = [&](const Flow& f, Count choice) {
        const Count open = add(f.open, choice);
        const Count before = q.nullable ? mul(open, triangle) : mul(open, j - 1);
        Flow out;
        out.open = q.nullable ? mul(j, open) : open;
        out.reached = add(add(mul(j, f.reached), mul(before, q.first)), mul(choice, add(mul(j, entry), mul(triangle, entry))));
        return out;
    };
    r.all = chain(q.all, 1);
    r.anchors = chain(q.anchors, 0);
    r.emptyLoops = mul(j, q.emptyLoops);
    return r;
}

// `q{m,n}`, or `q{m,}` when `unbounded`, as regcomp() copies it out.
Piece repeat(const Piece& q, Count m, Count n, bool unbounded)
{
    if (m == 0 && n == 0 && !unbounded) {
        // Dropped once parsed.
        Piece r;
        r.nodes = q.nodes;
        return r;
    }
    Piece r = power(q, m);
    if (unbounded)
        concatenate(r, star(q));
    else if (n > m)
        concatenate(r, optionalCopies(q, n - m));
    return r;
}

Piece atom(Count nodes)
{
    Piece p;
    p.nodes = nodes;
    p.first = 1;
    p.nullable = false;
    p.all.reached = nodes;
    return p;
}

// A bracket expression is a node for the single-byte characters, one for
// the others (in a UTF-8 locale, where PHP runs) and one that chooses.
Piece bracket()
{
    Piece p = atom(3);
    p.first = 3;
    p.all.reached = 5;
    return p;
}

// "\b" and "\B" are two anchors and the node that chooses between them.
Piece anchor(Count anchors)
{
    Piece p;
    p.nodes = anchors == 1 ? 1 : 3;
    p.first = p.nodes;
    p.all.open = p.nodes;
    p.all.reached = anchors == 1 ? 1 : 5;
    p.anchors.open = anchors;
    return p;
}

// One group level (the whole pattern is the outermost): the alternatives
// before the current one, the current one, and its last piece, to which a
// repetition operator applies.
struct Level {
    Piece alternatives;
    bool hasAlternatives = false;
    Piece branch;
    Piece last;
    bool hasLast = false;

    void commit()
    {
        if (hasLast)
            concatenate(branch, last);
        hasLast = false;
    }
    void push(const Piece& piece)
    {
        commit();
        last = piece;
        hasLast = true;
    }
    void bar()
    {
        commit();
        if (hasAlternatives)
            alternate(alternatives, branch);
        else
            alternatives = branch;
        hasAlternatives = true;
        branch = Piece{};
    }
    Piece close()
    {
        commit();
        if (!hasAlternatives)
            return branch;
        Piece whole = alternatives;
        alternate(whole, branch);
        return whole;
    }
};

// A group: an open node that reaches its inside, and a close node that
// the inside's open sources reach.
Piece group(const Piece& inside)
{
    Piece r = inside;
    r.nodes = add(inside.nodes, 2);
    r.first = add(inside.first, inside.nullable ? 2 : 1);
    r.all.reached = add(add(inside.all.reached, add(inside.all.open, 1)), r.first);
    r.all.open = add(inside.all.open, inside.nullable ? 2 : 1);
    r.anchors.reached = add(inside.anchors.reached, inside.anchors.open);
    return r;
}

// Reads the digits at `i`, saturating; false when there are none.
bool readCount(const std::string& s, std::size_t& i, Count& value)
{
    const std::size_t start = i;
    value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = add(mul(value, 10), static_cast<Count>(s[i] - '0'));
        ++i;
    }
    return i > start;
}

// An interval "{m}", "{m,}", "{m,n}" or "{,n}" at `i` (a "{"). On success `i`
// is past its "}"; otherwise regcomp() refuses it, and the "{" is counted as
// a character.
bool readInterval(const std::string& s, std::size_t& i, Count& m, Count& n, bool& unbounded)
{
    std::size_t j = i + 1;
    const bool hasLower = readCount(s, j, m);
    bool comma = false;
    bool hasUpper = false;
    n = m;
    if (j < s.size() && s[j] == ',') {
        comma = true;
        ++j;
        hasUpper = readCount(s, j, n);
    }
    if (j >= s.size() || s[j] != '}' || (!hasLower && !comma))
        return false;
    i = j + 1;
    unbounded = comma && !hasUpper;
    // regcomp() refuses n < m; counted as m copies all the same.
    n = std::max(m, n);
    return true;
}

// Bytes of the UTF-8 sequence that starts at `i` (1 for any other byte):
// regcomp() repeats a multibyte character as a whole.
std::size_t characterLength(const std::string& s, std::size_t i)
{
    std::size_t n = 1;
    if (static_cast<unsigned char>(s[i]) >= 0xC0)
        while (n < 4 && i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80)
            ++n;
    return n;
}

// Around a loop whose body can match the empty string regcomp() computes what
// the nodes before it reach again and again: 16 times the work for one such
// loop, twice that for each further one.
Count loopFactor(Count emptyLoops)
{
    if (emptyLoops == 0)
        return 1;
    return emptyLoops > 40 ? kCap : Count{16} << (emptyLoops - 1);
}

} // namespace

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

UrlRuleCost urlRuleCost(const std::string& pattern)
{
    std::vector<Level> levels(1);
    std::size_t i = 0;
    while (i < pattern.size()) {
        Level& level = levels.back();
        const char c = pattern[i];
        Count m = 0;
        Count n = 0;
        bool unbounded = false;
        if (c == '\\' && i + 1 < pattern.size()) {
            const char next = pattern[i + 1];
            if (next == 'b' || next == 'B') {
                level.push(anchor(2));
                i += 2;
            } else if (next == '<' || next == '>' || next == '`' || next == '\'') {
                level.push(anchor(1));
                i += 2;
            } else if (next == 'w' || next == 'W' || next == 's' || next == 'S') {
                level.push(bracket());
                i += 2;
            } else {
                const std::size_t length = characterLength(pattern, i + 1);
                level.push(atom(length));
                i += 1 + length;
            }
        } else if (c == '[') {
            level.push(bracket());
            i = bracketExpressionClose(pattern, i) + 1;
        } else if (c == '(') {
            if (levels.size() > UrlRuleCost::MAX_DEPTH)
                return UrlRuleCost{kCap, kCap, kCap, kCap};
            levels.emplace_back();
            ++i;
        } else if (c == ')' && levels.size() > 1) {
            const Piece inside = group(level.close());
            levels.pop_back();
            levels.back().push(inside);
            ++i;
        } else if (c == '|') {
            level.bar();
            ++i;
        } else if (c == '^' || c == '$') {
            level.push(anchor(1));
            ++i;
        } else if ((c == '*' || c == '?' || c == '+') && level.hasLast) {
            level.last = repeat(level.last, c == '+' ? 1 : 0, c == '?' ? 1 : 0, c != '?');
            ++i;
        } else if (c == '{' && level.hasLast && readInterval(pattern, i, m, n, unbounded)) {
            level.last = repeat(level.last, m, n, unbounded);
        } else {
            // A character (a repetition operator with nothing before it is
            // one to regcomp(), or an error).
            const std::size_t length = characterLength(pattern, i);
            level.push(atom(length));
            i += length;
        }
    }
    while (levels.size() > 1) {
        const Piece inside = group(levels.back().close());
        levels.pop_back();
        levels.back().push(inside);
    }
    const Piece whole = levels.back().close();
    // Sources still open at the end reach the automaton's end node.
    UrlRuleCost cost;
    cost.nodes = whole.nodes;
    cost.reach = add(whole.all.reached, whole.all.open);
    cost.anchorReach = add(whole.anchors.reached, whole.anchors.open);
    cost.emptyLoops = whole.emptyLoops;
    return cost;
}

std::uint64_t UrlRuleCost::work() const
{
    return mul(add(reach, mul(NODE_WORK, nodes)), loopFactor(emptyLoops));
}

std::uint64_t UrlRuleCost::anchorWork() const
{
    return mul(anchorReach, loopFactor(emptyLoops));
}
