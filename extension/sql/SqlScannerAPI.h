#pragma once

#include <cstddef>
#include <string>

// The SQL literal scanner (rules in SqlScanner.l) and the reduction of a SQL
// text by `qx.sql_mode`. Engine-free: nothing here touches PHP.

// Token codes of the scanner: 600 a numeric literal, 601 a quoted literal,
// 0 the end of the text; any other single byte (the newline excepted, which
// yields no token) comes out as its value read as a signed 8-bit number.
constexpr int SQL_TOKEN_END = 0;
constexpr int SQL_TOKEN_NUMBER = 600;
constexpr int SQL_TOKEN_QUOTED = 601;

struct SqlLexerToken {
    const char* text = nullptr; // owned by the scanner, valid until its next call
    int type = SQL_TOKEN_END;
};

// A scanner over a copy of the text up to its first NUL byte; null when it
// cannot be created. The second form reads at most `length` bytes of `text`
// (and likewise stops at a NUL byte); `text` need not be NUL-terminated.
void* sqlLexerNew(const char* text);
void* sqlLexerNew(const char* text, std::size_t length);
// Scans the next token into `token`; false at the end of the text (code 0),
// also for a null handle.
bool sqlLexerNext(void* handle, SqlLexerToken& token);
// Frees the scanner and sets the handle to null; a null handle is left alone.
void sqlLexerDestroy(void*& handle);

// Longest reduced text kept: a longer one is cut at a character boundary (of
// UTF-8 text) at or below this many bytes and SQL_TEXT_CUT_MARK is appended.
constexpr std::size_t SQL_TEXT_MAX_BYTES = 4096;
constexpr const char* SQL_TEXT_CUT_MARK = "...";

// How much of a SQL text the reduction reads: the first this many bytes, and
// one more to know that the text goes on. This bounds the scanner's work per
// text, whatever the text's length. It is four times the kept length: a text
// of at most this many bytes is reduced as it always was, and a longer one
// gives what its first 16 KiB give: the whole text's reduction as far as
// those bytes decide it, which is all of what is kept unless they shrink to
// less than 4 KiB (long literals, runs of newlines).
constexpr std::size_t SQL_SCAN_MAX_BYTES = 4 * SQL_TEXT_MAX_BYTES;

// The part of a SQL text that the reduction reads: its bytes up to the first
// NUL byte, at most SQL_SCAN_MAX_BYTES + 1 of them. Reads no byte of `text`
// past those.
std::string sqlTextHead(const char* text, std::size_t length);

// The reduced form of `sql` (its bytes up to the first NUL byte) for the
// given `qx.sql_mode`: 1 the leading verb upper-cased, 2 every numeric and
// quoted literal replaced by "?" (newlines dropped), any other mode the text
// itself. The result is bounded by SQL_TEXT_MAX_BYTES plus the cut mark.
// Only sqlTextHead(sql) is read. In mode 2 a longer text is reduced as its
// first SQL_SCAN_MAX_BYTES (cut at a character boundary) followed by the cut
// mark: a literal that the bound cuts still becomes "?", and nothing that
// might belong to a literal past the bound is shown. The other modes give
// what the whole text gives. Writes `reduced` and returns true; never throws.
bool sqlReduceText(const std::string& sql, int sqlMode, std::string& reduced);

// The bytes of `text` up to `maxBytes` (cut at a UTF-8 character boundary
// when possible), without cutting when it already fits.
std::string sqlCutText(const std::string& text, std::size_t maxBytes);

// A text that is safe to write into one log line: CR and LF become "\r" and
// "\n", the other control bytes (but the tab) and DEL "\xNN", a backslash is
// doubled, and a text longer than `maxBytes` is cut (as sqlCutText) with "..."
// appended.
std::string sqlLogText(const std::string& text, std::size_t maxBytes = SQL_TEXT_MAX_BYTES);
