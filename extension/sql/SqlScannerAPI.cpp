#include "extension/sql/SqlScannerAPI.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/VornUtils.h"
#include "extension/sql/SqlScannerState.h"

namespace {

// What a handle points at: the generated scanner and its state.
struct SqlLexer {
    SqlScannerState state;
    void* scanner = nullptr;
};

// flex takes the length as an int and adds two bytes of its own.
constexpr std::size_t MAX_SCAN_BYTES = static_cast<std::size_t>(INT_MAX) - 16;

std::size_t lengthToNul(const char* text, std::size_t length)
{
    const void* nul = std::memchr(text, '\0', length);
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : length;
}

// Verb only: the text up to the first blank or tab, upper-cased; the whole
// text, as it is, when it holds neither.
std::string leadingVerb(const std::string& sql)
{
    const std::size_t blank = sql.find_first_of(" \t");
    if (blank == std::string::npos)
        return sql;
    std::string verb = sql.substr(0, blank);
    vorn::toUpper(verb);
    return verb;
}

// Literals masked. False when no scanner could be made. Scanning stops once
// the result has outgrown the cap: what follows would be cut anyway.
//
// `cut`: the text is the head of a longer one. A token is then only taken
// as it is when the bytes past the cut could not have changed it. The
// longest stretch of a numeric literal that does not yet end one is two
// bytes ("1e+"), and a quote's run fails at a newline or at a backslash
// whose next one or two bytes start no escape. So a token that starts in
// the last two bytes is left out, and a quote whose run failed within two
// bytes of the cut may be a literal that the cut ended: it becomes "?", as
// a literal does, and nothing after it is read. Everything before is what
// the whole text gives.
bool maskLiterals(const std::string& sql, bool cut, std::string& masked)
{
    void* handle = sqlLexerNew(sql.data(), sql.size());
    if (handle == nullptr)
        return false;
    const SqlScannerState& state = static_cast<SqlLexer*>(handle)->state;
    const std::size_t unsure = sql.size() - std::min<std::size_t>(sql.size(), 2);
    masked.clear();
    SqlLexerToken token;
    while (masked.size() <= SQL_TEXT_MAX_BYTES && sqlLexerNext(handle, token)) {
        if (cut && state.tokenStart >= unsure)
            break;
        if (cut && state.failedRunEnd >= unsure) {
            masked += '?';
            break;
        }
        // Any other token is one byte, never NUL (the text ends at the first).
        if (token.type == SQL_TOKEN_NUMBER || token.type == SQL_TOKEN_QUOTED)
            masked += '?';
        else
            masked += token.text[0];
    }
    sqlLexerDestroy(handle);
    return true;
}

} // namespace

void* sqlLexerNew(const char* text)
{
    if (text == nullptr)
        return nullptr;
    return sqlLexerNew(text, std::strlen(text));
}

void* sqlLexerNew(const char* text, std::size_t length)
{
    if (text == nullptr)
        length = 0;
    length = length > 0 ? lengthToNul(text, length) : 0;
    if (length > MAX_SCAN_BYTES)
        return nullptr;
    SqlLexer* lexer = new (std::nothrow) SqlLexer;
    if (lexer == nullptr)
        return nullptr;
    try {
        lexer->scanner = sqlScannerOpen(length > 0 ? text : "", length, &lexer->state);
    } catch (...) {
        lexer->scanner = nullptr;
    }
    if (lexer->scanner == nullptr) {
        delete lexer;
        return nullptr;
    }
    return lexer;
}

bool sqlLexerNext(void* handle, SqlLexerToken& token)
{
    token.type = SQL_TOKEN_END;
    token.text = "";
    if (handle == nullptr)
        return false;
    SqlLexer* lexer = static_cast<SqlLexer*>(handle);
    try {
        const char* text = nullptr;
        token.type = sqlScannerLex(lexer->scanner, &text);
        token.text = text != nullptr ? text : "";
    } catch (...) {
        token.type = SQL_TOKEN_END;
        token.text = "";
    }
    return token.type != SQL_TOKEN_END;
}

void sqlLexerDestroy(void*& handle)
{
    if (handle == nullptr)
        return;
    SqlLexer* lexer = static_cast<SqlLexer*>(handle);
    sqlScannerClose(lexer->scanner);
    delete lexer;
    handle = nullptr;
}

std::string sqlCutText(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    // Back up over at most three continuation bytes to the start of the
    // character they belong to; text that is not UTF-8 is cut where it is.
    std::size_t back = 0;
    while (back < 3 && cut - back > 0 && (static_cast<unsigned char>(text[cut - back]) & 0xC0) == 0x80)
        ++back;
    if ((static_cast<unsigned char>(text[cut - back]) & 0xC0) == 0xC0)
        cut -= back;
    return text.substr(0, cut);
}

std::string sqlTextHead(const char* text, std::size_t length)
{
    if (text == nullptr)
        return std::string();
    return std::string(text, lengthToNul(text, std::min(length, SQL_SCAN_MAX_BYTES + 1)));
}

bool sqlReduceText(const std::string& sql, int sqlMode, std::string& reduced)
{
    try {
        std::string text = sqlTextHead(sql.data(), sql.size());
        // The head ends in the byte that tells the text goes on. Mode 2
        // masks the first SQL_SCAN_MAX_BYTES (cut at a character boundary);
        // in the others a head longer than the kept length gives the cut
        // whole text, and the verb is the same as the whole text's.
        const bool cut = text.size() > SQL_SCAN_MAX_BYTES;
        if (sqlMode == 1) {
            reduced = leadingVerb(text);
        } else if (sqlMode == 2) {
            if (cut)
                text = sqlCutText(text, SQL_SCAN_MAX_BYTES);
            if (!maskLiterals(text, cut, reduced))
                reduced = text;
            else if (cut && reduced.size() <= SQL_TEXT_MAX_BYTES)
                reduced += SQL_TEXT_CUT_MARK;
        } else {
            reduced = text;
        }
        if (reduced.size() > SQL_TEXT_MAX_BYTES)
            reduced = sqlCutText(reduced, SQL_TEXT_MAX_BYTES) + SQL_TEXT_CUT_MARK;
    } catch (...) {
        // Out of memory: report no text rather than harm the request.
        reduced.clear();
    }
    return true;
}

std::string sqlLogText(const std::string& text, std::size_t maxBytes)
{
    const bool cut = text.size() > maxBytes;
    const std::string kept = cut ? sqlCutText(text, maxBytes) : text;
    std::string out;
    out.reserve(kept.size() + 8);
    for (const char c : kept) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if ((b < 0x20 && c != '\t') || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    if (cut)
        out += SQL_TEXT_CUT_MARK;
    return out;
}
