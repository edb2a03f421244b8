#include "extension/url/PosixToRe2.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace PosixToRe2 {

namespace {

// The pattern's characters: code points of valid UTF-8, or its bytes.
bool decodeUtf8(const std::string& s, std::vector<uint32_t>& out)
{
    out.clear();
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = 0;
        uint32_t cp = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F, minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0F, minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

bool isAsciiAlnum(uint32_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void appendLiteral(std::string& out, uint32_t c)
{
    if (isAsciiAlnum(c)) {
        out.push_back(static_cast<char>(c));
        return;
    }
    char text[16];
    std::snprintf(text, sizeof text, "\\x{%X}", static_cast<unsigned>(c));
    out += text;
}

// Without regard to case the C library reads a range's ends in upper case:
// "[A-z]" is "[A-Z]", and "[Z-a]" is refused.
uint32_t upper(uint32_t c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

const char* const kClasses[] = {"alnum", "alpha", "blank", "cntrl", "digit", "graph",
                                "lower", "print", "punct", "space", "upper", "xdigit"};

class Translator {
public:
    Translator(const std::vector<uint32_t>& cps, bool latin1) : p(cps), latin1(latin1) {}

    Translation run()
    {
        Translation t;
        t.latin1 = latin1;
        std::size_t depth = 0;
        bool hasAtom = false;  // a repetition operator has something to repeat
        for (std::size_t i = 0; i < p.size();) {
            const uint32_t c = p[i];
            if (c == '\\') {
                if (i + 1 >= p.size())
                    return invalid("Trailing backslash");
                const uint32_t e = p[i + 1];
                if (e >= '1' && e <= '9')
                    return unsupported("a back-reference (\\" + std::string(1, static_cast<char>(e)) + ")");
                for (char op : {'<', '>', '`', '\'', 'b', 'B', 'w', 'W', 's', 'S'})
                    if (e == static_cast<uint32_t>(op))
                        return unsupported(std::string("the GNU operator \\") + op);
                if (e >= 0x80)
                    return unsupported("a backslash before a character that is not ASCII");
                appendLiteral(out, e);
                hasAtom = true;
                i += 2;
            } else if (c == '[') {
                if (!bracket(i))
                    return result;
                hasAtom = true;
            } else if (c == '(') {
                out.push_back('(');
                ++depth;
                hasAtom = false;
                ++i;
            } else if (c == ')' && depth > 0) {
                out.push_back(')');
                --depth;
                hasAtom = true;
                ++i;
            } else if (c == '|') {
                out.push_back('|');
                hasAtom = false;
                ++i;
            } else if (c == '^' || c == '$') {
                // Matched as the middle of a line: never matches.
                out += latin1 ? "[^\\x{0}-\\x{FF}]" : "[^\\x{0}-\\x{10FFFF}]";
                hasAtom = false;  // an anchor cannot be repeated
                ++i;
            } else if (c == '*' || c == '+' || c == '?') {
                if (!hasAtom)
                    return invalid("Invalid preceding regular expression");
                out.push_back(static_cast<char>(c));
                ++i;
            } else if (c == '{') {
                if (!hasAtom)
                    return invalid("Invalid preceding regular expression");
                if (!interval(i))
                    return result;
            } else if (c == '.') {
                out.push_back('.');
                hasAtom = true;
                ++i;
            } else {
                appendLiteral(out, c);  // ")" unmatched, "]" and "}" too
                hasAtom = true;
                ++i;
            }
        }
        if (depth > 0)
            return invalid("Unmatched ( or \\(");
        t.outcome = Outcome::Translated;
        t.pattern = std::move(out);
        return t;
    }

private:
    Translation invalid(const std::string& why) { return fail(Outcome::Invalid, why); }
    Translation unsupported(const std::string& what) { return fail(Outcome::Unsupported, what); }
    Translation fail(Outcome outcome, const std::string& why)
    {
        result.outcome = outcome;
        result.reason = why;
        result.latin1 = latin1;
        return result;
    }

    // "{m}", "{m,}", "{m,n}", "{,n}" and "{,}" at `i`; numbers up to 32767.
    bool interval(std::size_t& i)
    {
        std::size_t j = i + 1;
        auto number = [&](long& value) {
            value = -1;
            for (; j < p.size() && p[j] >= '0' && p[j] <= '9'; ++j)
                value = std::min<long>(32768, (value < 0 ? 0 : value * 10) + static_cast<long>(p[j] - '0'));
        };
        long low = -1;
        long high = -1;
        number(low);
        bool comma = false;
        if (j < p.size() && p[j] == ',') {
            comma = true;
            ++j;
            number(high);
        }
        if (j >= p.size()) {
            fail(Outcome::Invalid, "Unmatched \\{");
            return false;
        }
        if (p[j] != '}' || (low < 0 && !comma)) {
            fail(Outcome::Invalid, "Invalid content of \\{\\}");
            return false;
        }
        if (low < 0)
            low = 0;
        if (!comma)
            high = low;
        if (high >= 0 && low > high) {
            fail(Outcome::Invalid, "Invalid content of \\{\\}");
            return false;
        }
        if ((high < 0 ? low : high) > 32767) {
            fail(Outcome::Invalid, "Regular expression too big");
            return false;
        }
        out += "{" + std::to_string(low) + (comma ? "," : "") + (comma && high >= 0 ? std::to_string(high) : "")
               + "}";
        i = j + 1;
        return true;
    }

    // A bracket expression opening at `i`, leaving `i` past its "]".
    bool bracket(std::size_t& i)
    {
        std::size_t j = i + 1;
        std::string body;
        if (j < p.size() && p[j] == '^') {
            body.push_back('^');
            ++j;
        }
        bool first = true;
        for (;;) {
            if (j >= p.size()) {
                fail(Outcome::Invalid, "Unmatched [, [^, [:, [., or [=");
                return false;
            }
            if (p[j] == ']' && !first)
                break;
            uint32_t low = 0;
            bool isClass = false;
            if (!element(j, true, first, low, isClass, body))
                return false;
            first = false;
            if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
                if (isClass) {
                    fail(Outcome::Invalid, "Invalid range end");
                    return false;
                }
                ++j;
                uint32_t high = 0;
                bool endIsClass = false;
                std::string ignored;
                if (!element(j, false, true, high, endIsClass, ignored))
                    return false;
                if (endIsClass || upper(low) > upper(high)) {
                    fail(Outcome::Invalid, "Invalid range end");
                    return false;
                }
                appendMember(body, upper(low));
                body.push_back('-');
                appendMember(body, upper(high));
            } else if (!isClass) {
                appendMember(body, low);
            }
        }
        out += "[" + body + "]";
        i = j + 1;
        return true;
    }

    static void appendMember(std::string& body, uint32_t c)
    {
        char text[16];
        std::snprintf(text, sizeof text, "\\x{%X}", static_cast<unsigned>(c));
        body += text;
    }

    // One element of a bracket expression at `j`: a character (`c`) or a
    // class (written to `body`). "-" is an element only first, as a range's
    // end, or last.
    bool element(std::size_t& j, bool start, bool hyphenOk, uint32_t& c, bool& isClass, std::string& body)
    {
        isClass = false;
        if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
            const uint32_t kind = p[j + 1];
            std::size_t k = j + 2;
            std::string name;
            while (k + 1 < p.size() && !(p[k] == kind && p[k + 1] == ']')) {
                if (p[k] < 0x80)
                    name.push_back(static_cast<char>(p[k]));
                else
                    name.push_back('?');
                ++k;
            }
            if (k + 1 >= p.size() || k - (j + 2) >= 32) {
                fail(Outcome::Invalid, "Unmatched [, [^, [:, [., or [=");
                return false;
            }
            if (kind == '.') {
                fail(Outcome::Unsupported, "a collating element [[." + name + ".]]");
                return false;
            }
            if (kind == '=') {
                fail(Outcome::Unsupported, "an equivalence class [[=" + name + "=]]");
                return false;
            }
            bool known = false;
            for (const char* cls : kClasses)
                known = known || name == cls;
            if (!known) {
                fail(Outcome::Invalid, "Invalid character class name");
                return false;
            }
            if (!start) {
                fail(Outcome::Invalid, "Invalid range end");
                return false;
            }
            body += "[:" + name + ":]";
            isClass = true;
            j = k + 2;
            return true;
        }
        if (p[j] == '-' && !hyphenOk && !(j + 1 < p.size() && p[j + 1] == ']')) {
            fail(Outcome::Invalid, "Invalid range end");
            return false;
        }
        c = p[j];
        ++j;
        return true;
    }

    const std::vector<uint32_t>& p;
    const bool latin1;
    std::string out;
    Translation result;
};

}  // namespace

Translation translate(const std::string& posix)
{
    std::vector<uint32_t> cps;
    bool latin1 = false;
    if (!decodeUtf8(posix, cps)) {
        latin1 = true;
        cps.assign(posix.begin(), posix.end());
        for (uint32_t& c : cps)
            c &= 0xFF;
    }
    return Translator(cps, latin1).run();
}

}  // namespace PosixToRe2
