#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "extension/sql/SqlScannerAPI.h"
#include "tests/support/GuardedBytes.h"

namespace {

std::string reduce(const std::string& sql, int mode)
{
    std::string out = "unset";
    EXPECT_TRUE(sqlReduceText(sql, mode, out));
    return out;
}

// Every token of a text as (code, text).
std::vector<std::pair<int, std::string>> tokens(const std::string& text)
{
    std::vector<std::pair<int, std::string>> out;
    void* lexer = sqlLexerNew(text.data(), text.size());
    EXPECT_NE(lexer, nullptr);
    SqlLexerToken token;
    while (sqlLexerNext(lexer, token))
        out.emplace_back(token.type, token.text);
    sqlLexerDestroy(lexer);
    EXPECT_EQ(lexer, nullptr);
    return out;
}

bool isUtf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// A plain longest-match reference of the scanner's rules: quadratic on some
// texts, so only for short ones; the scanner must give exactly its tokens.
namespace ref {

bool in(const std::string& s, std::size_t i, const char* set) { return i < s.size() && s[i] && std::strchr(set, s[i]); }
const char* const DIG = "0123456789";
const char* const HEX = "0123456789abcdefABCDEF";
std::size_t run(const std::string& s, std::size_t i, const char* set)
{
    std::size_t j = i;
    while (in(s, j, set))
        ++j;
    return j - i;
}
std::size_t intSuffix(const std::string& s, std::size_t i)
{
    return in(s, i, "uU") ? 1 + in(s, i + 1, "lL") : in(s, i, "lL") ? 1 + in(s, i + 1, "uU") : 0;
}
std::size_t exponent(const std::string& s, std::size_t i)
{
    const std::size_t sign = in(s, i + 1, "+-");
    return in(s, i, "eE") && in(s, i + 1 + sign, DIG) ? 1 + sign + run(s, i + 1 + sign, DIG) : 0;
}
std::size_t number(const std::string& s, std::size_t i)
{
    std::size_t best = 0;
    const auto take = [&](std::size_t end) { best = std::max(best, end - i); };
    if (in(s, i, "123456789"))
        take(i + run(s, i, DIG) + intSuffix(s, i + run(s, i, DIG)));
    if (in(s, i, "0")) {
        const std::size_t o = i + 1 + run(s, i + 1, "01234567");
        take(o + intSuffix(s, o));
        if (in(s, i + 1, "xX") && in(s, i + 2, HEX))
            take(i + 2 + run(s, i + 2, HEX) + intSuffix(s, i + 2 + run(s, i + 2, HEX)));
    }
    const std::size_t d = i + run(s, i, DIG);
    if (d > i && exponent(s, d))
        take(d + exponent(s, d) + in(s, d + exponent(s, d), "fFlL"));
    const std::size_t f = d + 1 + run(s, d + 1, DIG);
    if (in(s, d, ".") && (f > d + 1 || d > i))
        take(f + exponent(s, f) + in(s, f + exponent(s, f), "fFlL"));
    return best;
}
std::size_t escape(const std::string& s, std::size_t i) // at a backslash
{
    if (in(s, i + 1, "abfnrtv'\"?\\"))
        return 2;
    if (in(s, i + 1, "01234567"))
        return 1 + std::min<std::size_t>(3, run(s, i + 1, "01234567"));
    return in(s, i + 1, "x") && in(s, i + 2, HEX) ? 2 + run(s, i + 2, HEX) : 0;
}
std::size_t quoted(const std::string& s, std::size_t i)
{
    const char q = in(s, i, "'\"") ? s[i] : 0;
    for (std::size_t j = i + 1, items = 0, e = 1; q && j < s.size() && s[j] != '\n' && e; j += e, ++items) {
        if (s[j] == q)
            return (items > 0 || q == '"') ? j + 1 - i : 0;
        e = s[j] == '\\' ? escape(s, j) : 1;
    }
    return 0;
}
std::vector<std::pair<int, std::string>> scan(const std::string& s)
{
    std::vector<std::pair<int, std::string>> out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = number(s, i), q = quoted(s, i), len = std::max<std::size_t>({n, q, 1});
        if (n > 0 || q > 0)
            out.emplace_back(n >= q ? 600 : 601, s.substr(i, len));
        else if (s[i] != '\n')
            out.emplace_back(static_cast<signed char>(s[i]), s.substr(i, 1));
        i += len;
    }
    return out;
}

} // namespace ref

} // namespace

TEST(SqlScanner, MasksLiteralsInMode2)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SELECT * FROM t1 WHERE id = 42 AND name = 'bob'", "SELECT * FROM t? WHERE id = ? AND name = ?"},
        {"'it''s'", "??"},
        {"''", "''"},
        {"x = \"\"", "x = ?"},
        {"-3", "-?"},
        {"1.2.3", "??"},
        {"0789", "??"},
        {"0x", "?x"},
        {"1e", "?e"},
        {"10LL", "?L"},
        {"5UL", "?"},
        {"1.5e+3f", "?"},
        {".5", "?"},
        {"1.", "?"},
        {"0x1Fu 017L 3E-7 2.f", "? ? ? ?"},
        {"'a\\'b' \"c\\\"d\" '\\x4F\\101\\n'", "? ? ?"},
        // An escape that is not in the list: no literal, copied as it is.
        {"LIKE 'a\\%b'", "LIKE 'a\\%b'"},
        // A newline between tokens vanishes, blanks stay; inside quotes it
        // ends the literal attempt.
        {"SELECT a \n FROM b\n", "SELECT a  FROM b"},
        {"x = 'ab\ncd' AND y", "x = 'abcd' AND y"},
        {"'\\'\\'\\'", "'\\'\\'\\'"},
        {"\"\\\"'\\\"", "\"\\\"'\\\""},
        {"'abc \"q\" \\\\", "'abc ? \\\\"},
        {"WHERE a='x' -- ü ñ", "WHERE a=? -- ü ñ"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reduce(c.first, 2), c.second) << c.first;
}

TEST(SqlScanner, VerbOnlyInMode1AndFullTextOtherwise)
{
    const std::vector<std::pair<std::string, std::string>> verbs = {
        {"select * from t", "SELECT"},
        {"select\tname from t", "SELECT"},
        {"select", "select"},
        {" select 1", ""},
        {"update\tt set a = 1", "UPDATE"},
    };
    for (const auto& c : verbs)
        EXPECT_EQ(reduce(c.first, 1), c.second) << c.first;
    const std::string sql = "select *\nfrom t where a = 'x' and b = 1";
    for (const int mode : {0, 3, -1, 4, 1000})
        EXPECT_EQ(reduce(sql, mode), sql) << mode;
}

TEST(SqlScanner, TokenCodesAndTexts)
{
    const std::vector<std::pair<int, std::string>> expected = {
        {'a', "a"}, {'=', "="}, {600, "0x1F"}, {' ', " "}, {601, "'x'"},
        {static_cast<signed char>('\xC3'), "\xC3"}, {static_cast<signed char>('\xA9'), "\xA9"},
    };
    EXPECT_EQ(tokens("a=0x1F 'x'\n\xC3\xA9"), expected);
    EXPECT_LT(static_cast<signed char>('\xC3'), 0);

    // Two handles at once, each over its own copy of the text.
    std::string one = "1 2";
    void* a = sqlLexerNew(one.c_str());
    void* b = sqlLexerNew("'a'");
    one.assign("xxx");
    SqlLexerToken ta, tb;
    ASSERT_TRUE(sqlLexerNext(a, ta) && sqlLexerNext(b, tb));
    EXPECT_EQ(std::make_pair(ta.type, std::string(ta.text)), std::make_pair(600, std::string("1")));
    EXPECT_EQ(tb.type, 601);
    EXPECT_FALSE(sqlLexerNext(b, tb) || sqlLexerNext(b, tb));
    sqlLexerDestroy(b);
    sqlLexerDestroy(a);
    EXPECT_EQ(a, nullptr);
}

TEST(SqlScanner, StopsAtTheFirstNulByte)
{
    const std::string sql("SELECT 1\0' 2", 12);
    EXPECT_EQ(reduce(sql, 2), "SELECT ?");
    EXPECT_EQ(reduce(sql, 3), "SELECT 1");
    EXPECT_EQ(reduce(sql, 1), "SELECT");
    EXPECT_EQ(tokens(std::string("\0a", 2)).size(), 0u);
}

TEST(SqlScanner, AgreesWithAPlainLongestMatchOnRandomText)
{
    // An alphabet rich in what the rules care about.
    const std::string alphabet = "''''\"\"\"\\\\\\\\0123789xXeE+-.uUlLfFab?% \n\xC3\xA9";
    std::mt19937 rng(12);
    for (int round = 0; round < 60000; ++round) {
        std::string s(rng() % 32, ' ');
        for (char& c : s)
            c = alphabet[rng() % alphabet.size()];
        ASSERT_EQ(tokens(s), ref::scan(s)) << "text: [" << s << "]";
    }
}

TEST(SqlScanner, AdversarialTextsAreSafeBoundedAndLinear)
{
    const std::size_t big = 1u << 20;
    auto repeat = [](const std::string& unit, std::size_t size) {
        std::string s;
        while (s.size() < size)
            s += unit;
        s.resize(size);
        return s;
    };
    std::mt19937 rng(7);
    std::string random(big, ' ');
    for (char& c : random)
        c = static_cast<char>(rng() % 256); // NUL bytes included
    const std::vector<std::string> units = {
        "'\\", "\"\\", "'\\\"\\", "'", "\\", "/* /* ", "--'", "\xE2\x82\xAC'", "0x", "1e+", "1.", "'a''",
    };
    for (const auto& unit : units) {
        for (const std::string& text : {repeat(unit, big), repeat(unit, big - 1) + "\\"}) {
            for (const int mode : {1, 2, 3}) {
                const std::string out = reduce(text, mode);
                EXPECT_LE(out.size(), SQL_TEXT_MAX_BYTES + std::strlen(SQL_TEXT_CUT_MARK));
                EXPECT_TRUE(isUtf8(out)) << "unit " << unit << " mode " << mode;
            }
        }
    }
    EXPECT_LE(reduce(random, 2).size(), SQL_TEXT_MAX_BYTES + 3);
    EXPECT_EQ(reduce("x" + random, 3).find('\0'), std::string::npos);

    // Scanning a whole text takes linear time, also where every quote of a
    // long run starts a literal that is never closed.
    auto drain = [](const std::string& text) {
        const auto start = std::chrono::steady_clock::now();
        std::size_t count = 0;
        void* lexer = sqlLexerNew(text.data(), text.size());
        SqlLexerToken token;
        while (sqlLexerNext(lexer, token))
            ++count;
        sqlLexerDestroy(lexer);
        EXPECT_GT(count, 0u);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (const std::string unit : {"'\\", "\"\\", "'\\\"\\", "'a", "1e+"}) {
        double small = 1e9, large = 1e9;
        for (int i = 0; i < 3; ++i) {
            small = std::min(small, drain(repeat(unit, 64 * 1024)));
            large = std::min(large, drain(repeat(unit, big)));
        }
        EXPECT_LT(large, 64 * small + 0.05) << "unit " << unit << ": " << small << "s vs " << large << "s";
    }
}

namespace {

constexpr std::size_t BOUND = SQL_SCAN_MAX_BYTES;

// "SELECT * FROM t WHERE a = '...' AND b = " padded with a literal so that
// it is `size` bytes long; it reduces to PAD_REDUCED.
const std::string PAD_REDUCED = "SELECT * FROM t WHERE a = ? AND b = ";
std::string padTo(std::size_t size)
{
    const std::string head = "SELECT * FROM t WHERE a = '", tail = "' AND b = ";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

} // namespace

TEST(SqlScanner, ReadsABoundedHeadOfALongText)
{
    // Four MiB announced, one byte past the head mapped: reading further
    // would end the test.
    std::string attack = "SELECT '";
    while (attack.size() <= BOUND)
        attack += "\\'";
    attack.resize(BOUND + 1);
    GuardedBytes guarded(attack);
    ASSERT_NE(guarded.data(), nullptr);
    const std::string head = sqlTextHead(guarded.data(), 4u << 20);
    EXPECT_EQ(head, attack);
    // Unclosed to the end of the head: it may be a literal, so it is one.
    EXPECT_EQ(reduce(head, 2), "SELECT ?...");
    EXPECT_EQ(reduce(head + std::string(1u << 20, 'x'), 2), "SELECT ?...");
    EXPECT_EQ(sqlTextHead(std::string("ab\0cd", 5).data(), 5), "ab");
    EXPECT_EQ(sqlTextHead(nullptr, 5), "");

    // Up to the bound a text is read whole, as before; past it the cut
    // shows, and the last two bytes before it are left out.
    const std::string whole = padTo(BOUND - 5) + "1    ";
    EXPECT_EQ(reduce(whole, 2), PAD_REDUCED + "?    ");
    EXPECT_EQ(reduce(whole + "\n", 2), PAD_REDUCED + "?  ...");
    // The other modes give what the whole text gives.
    const std::string longText = "select a from t where b = '" + std::string(1u << 20, 'b') + "'";
    EXPECT_EQ(reduce(longText, 1), "SELECT");
    EXPECT_EQ(reduce(longText, 3), longText.substr(0, SQL_TEXT_MAX_BYTES) + SQL_TEXT_CUT_MARK);
    EXPECT_EQ(reduce(std::string(BOUND + 100, 'x'), 1), std::string(SQL_TEXT_MAX_BYTES, 'x') + SQL_TEXT_CUT_MARK);
}

TEST(SqlScanner, ALiteralCutByTheBoundStaysHidden)
{
    // Every cut through quoted literals and their escapes, and through
    // numbers whose tail (exponent, hex digits) only the bytes past the
    // bound would complete: nothing of them shows, the text before them does.
    const std::vector<std::string> literals = {
        "'qz\\'qz\\x51\\121\\\\qz\\nqz'", "\"qz\\\"qz\\x51\\121\\\\qz\\nqz\"", "'q'", "1e+5", "0x1F", "1.5e-3f", ".5e3",
    };
    for (const std::string& literal : literals) {
        for (std::size_t at = BOUND - literal.size() - 2; at <= BOUND + 1; ++at) {
            const std::string out = reduce(padTo(at) + literal + " OR c = 'qz'", 2);
            const std::size_t padLeftOut = at + 2 > BOUND ? at + 2 - BOUND : 0;
            const std::string expected = PAD_REDUCED.substr(0, PAD_REDUCED.size() - padLeftOut)
                + (at + 2 < BOUND ? "?" : "") + SQL_TEXT_CUT_MARK;
            EXPECT_EQ(out, expected) << literal << " at " << at;
        }
    }
}

TEST(SqlScanner, ACutTextReducesAsTheWholeTextAsFarAsItsHeadDecides)
{
    // Random tails across the bound: the reduction of the cut text is the
    // start of the whole text's, but that its last "?" may stand for a quote
    // that the whole text leaves unclosed, and it misses nothing that the
    // bytes before the last two decide.
    const std::string alphabet = "''''\"\"\"\\\\\\\\0123789xXeE+-.uUlLfFab?% \n";
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; ++round) {
        std::string text = padTo(BOUND - rng() % 48 - 1);
        while (text.size() < BOUND + 48)
            text += alphabet[rng() % alphabet.size()];
        std::string whole;
        std::size_t decided = 0, position = 0;
        bool quoteSeen = false;
        for (const auto& token : tokens(text)) {
            while (text[position] == '\n')
                ++position;
            position += token.second.size();
            whole += token.first >= 600 ? std::string("?") : token.second;
            quoteSeen = quoteSeen || (token.first == '\'' || token.first == '"');
            if (position + 2 <= BOUND && !quoteSeen)
                decided = whole.size();
        }
        const std::string out = reduce(text, 2);
        ASSERT_EQ(out.substr(out.size() - 3), SQL_TEXT_CUT_MARK);
        const std::string body = out.substr(0, out.size() - 3);
        std::size_t same = 0;
        while (same < body.size() && same < whole.size() && body[same] == whole[same])
            ++same;
        const bool quoteAsLiteral = same + 1 == body.size() && body.back() == '?' && same < whole.size()
            && (whole[same] == '\'' || whole[same] == '"');
        ASSERT_TRUE(same == body.size() || quoteAsLiteral) << "text tail: [" << text.substr(BOUND - 60) << "]";
        ASSERT_GE(body.size(), decided) << "text tail: [" << text.substr(BOUND - 60) << "]";
    }
}

TEST(SqlScanner, CutsAtCharacterBoundaries)
{
    const std::string euro = "\xE2\x82\xAC"; // three bytes
    std::string text;
    while (text.size() < SQL_TEXT_MAX_BYTES + 10)
        text += euro;
    for (std::size_t shift = 0; shift < 4; ++shift) {
        const std::string sql = std::string(shift, 'a') + text;
        for (const int mode : {1, 2, 3}) {
            const std::string out = reduce(sql, mode);
            EXPECT_TRUE(isUtf8(out)) << shift << " " << mode;
            EXPECT_GE(out.size(), SQL_TEXT_MAX_BYTES - 3);
            EXPECT_EQ(out.substr(out.size() - 3), SQL_TEXT_CUT_MARK);
        }
    }
    EXPECT_EQ(sqlCutText("a\xC3\xA9", 2), "a");
    EXPECT_EQ(sqlCutText("ab\xA9\xA9\xA9\xA9", 4), "ab\xA9\xA9"); // not UTF-8: cut where it is
    EXPECT_EQ(sqlCutText("abc", 3), "abc");
}

TEST(SqlScanner, LogTextStaysOnOneLine)
{
    EXPECT_EQ(sqlLogText("a\r\nb\tc\\d\x01\x7F"), "a\\r\\nb\tc\\\\d\\x01\\x7F");
    std::string expected;
    for (int i = 0; i < 64; ++i)
        expected += "\\n";
    EXPECT_EQ(sqlLogText(std::string(100000, '\n'), 64), expected + "...");
}
