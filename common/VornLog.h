#pragma once

#include <cstdio>
#include <locale>
#include <sstream>
#include <string>

#include "common/VornLogLimiter.h"

// Levelled line logger. One line per message: timestamp, level tag, then the
// message parts, each separated from the next by one blank. A message of
// level L is written only when `level` >= L. Copies share the open stream.
//
// Typical use writes a whole line in one call:
//     log.logDbg1("Loading INI file:", path);
// which does what the streaming form does by hand:
//     log.curLevel = VornLog::LEVEL_DBG1;
//     std::wstring ts = log.now();
//     if (log.level >= VornLog::LEVEL_DBG1) {
//         log.append(ts, VornLog::LEVEL_DBG1);
//         log << VornLog::TAG_DBG1 << "Loading INI file:" << path << endl;
//     }
class VornLog {
public:
    static constexpr int LEVEL_ERROR = 0;
    static constexpr int LEVEL_SYSTEM = 0;
    static constexpr int LEVEL_WARNING = 1;
    static constexpr int LEVEL_DBG1 = 3;
    static constexpr int LEVEL_DBG2 = 4;

    static constexpr const wchar_t* TAG_ERROR = L"[ERROR]";
    static constexpr const wchar_t* TAG_SYSTEM = L"[SYSTEM]";
    static constexpr const wchar_t* TAG_WARNING = L"[WARNING]";
    static constexpr const wchar_t* TAG_DBG1 = L"[DBG1]";
    static constexpr const wchar_t* TAG_DBG2 = L"[DBG2]";

    VornLog();
    VornLog(const VornLog&) = default;
    VornLog& operator=(const VornLog&) = default;
    // Neither flushes a pending line nor closes the stream: copies may share it.
    virtual ~VornLog();

    // Opens `path` for appending (close-on-exec), creating it when missing
    // unless told not to; throws zException "Log open error: <system text>"
    // and keeps writing to stderr on failure. Never blocks, and takes only a
    // regular file (or a link to one): anything else is "Log open error: not
    // a regular file".
    enum class IfMissing { Create, Fail };
    void open(IfMissing ifMissing = IfMissing::Create);
    // Close the held stream (if any) and use stdout / stderr instead.
    void openStdout();
    void openStderr();

    // Timestamp part of the message being built ("[dd/mm/YYYY - HH:MM:SS pPID]"),
    // or an empty text when `curLevel` is above `level`.
    std::wstring now();

    // Appends one part (preceded by a blank unless the line is empty) when
    // `level` >= msgLevel. Supported parts: wide and narrow strings and C
    // strings (narrow ones read as Latin-1), characters, integers of every
    // width and signedness (unsigned char as a number), bool (1/0), doubles.
    template <typename T>
    VornLog& append(const T& value, int msgLevel)
    {
        if (level < msgLevel)
            return *this;
        std::wostringstream os;
        os.imbue(std::locale::classic());
        if (!buffer.empty())
            os << L' ';
        writePart(os, value);
        buffer += os.str();
        return *this;
    }

    // Writes the buffered line as UTF-8 plus "\n" and flushes; an empty buffer
    // writes nothing. The buffer is emptied.
    void flush();

    // Streaming form: parts are appended at `curLevel`.
    template <typename T>
    VornLog& operator<<(const T& value)
    {
        if (level >= curLevel)
            append(value, curLevel);
        return *this;
    }
    VornLog& operator<<(VornLog& (*manip)(VornLog&))
    {
        if (level >= curLevel)
            manip(*this);
        return *this;
    }

    // A part that comes from outside (a URL, a header, a line of a file):
    // written with its control characters escaped (as \r, \n, \t, \xNN),
    // so that it can neither end the line nor forge another. Holds the text
    // by reference: use it within the call that logs it.
    struct Untrusted {
        const std::wstring* wide;
        const std::string* narrow;  // converted as other narrow parts are
    };
    static Untrusted untrusted(const std::wstring& text) { return Untrusted{&text, nullptr}; }
    static Untrusted untrusted(const std::string& text) { return Untrusted{nullptr, &text}; }
    // The same escaping, for an outside text inside a longer part.
    static std::string escaped(const std::string& text);

    // True when a message of this level would be written.
    bool enabled(int msgLevel) const { return level >= msgLevel; }

    // Writes one whole line: timestamp, tag, parts, in that order.
    template <typename... Parts>
    void logLine(int msgLevel, const wchar_t* tag, const Parts&... parts)
    {
        curLevel = msgLevel;
        // Most lines are below the configured level: they cost this test only.
        if (level < msgLevel)
            return;
        append(now(), msgLevel);
        append(tag, msgLevel);
        (append(parts, msgLevel), ...);
        flush();
    }
    template <typename... Parts>
    void logError(const Parts&... parts) { logLine(LEVEL_ERROR, TAG_ERROR, parts...); }
    template <typename... Parts>
    void logSystem(const Parts&... parts) { logLine(LEVEL_SYSTEM, TAG_SYSTEM, parts...); }
    template <typename... Parts>
    void logWarning(const Parts&... parts) { logLine(LEVEL_WARNING, TAG_WARNING, parts...); }
    template <typename... Parts>
    void logDbg1(const Parts&... parts) { logLine(LEVEL_DBG1, TAG_DBG1, parts...); }
    // A warning that outside input can cause at every request: written
    // through `limiter`, the first of its kind at once, later ones at most
    // once per interval with VornLogLimiter::unwrittenNote. `kind` is a fixed
    // text (outside bytes never make a kind of their own); `detail` follows
    // it, when not empty. Below the warning level nothing is counted or
    // written.
    void logLimitedWarning(VornLogLimiter& limiter, VornLogLimiter::Clock::time_point now, const std::string& kind,
                           const std::string& detail);
    template <typename... Parts>
    void logDbg2(const Parts&... parts) { logLine(LEVEL_DBG2, TAG_DBG2, parts...); }

    std::wstring path;   // log file; set by the owner before open()
    int level;           // configured threshold (0 after construction)
    int curLevel;        // level of the message being built (4 after construction)
    FILE* file;          // output stream; null means standard error
    std::wstring buffer; // the line being built, without its newline

private:
    static void writePart(std::wostream& os, const std::wstring& v);
    static void writePart(std::wostream& os, const wchar_t* v);
    static void writePart(std::wostream& os, const std::string& v);
    static void writePart(std::wostream& os, const char* v);
    static void writePart(std::wostream& os, char v);
    static void writePart(std::wostream& os, wchar_t v);
    static void writePart(std::wostream& os, signed char v);
    static void writePart(std::wostream& os, unsigned char v);
    static void writePart(std::wostream& os, short v);
    static void writePart(std::wostream& os, unsigned short v);
    static void writePart(std::wostream& os, int v);
    static void writePart(std::wostream& os, unsigned int v);
    static void writePart(std::wostream& os, long v);
    static void writePart(std::wostream& os, unsigned long v);
    static void writePart(std::wostream& os, long long v);
    static void writePart(std::wostream& os, unsigned long long v);
    static void writePart(std::wostream& os, bool v);
    static void writePart(std::wostream& os, double v);
    static void writePart(std::wostream& os, const Untrusted& v);
};

// Line-end manipulator of the log: calls flush().
VornLog& endl(VornLog& log);
