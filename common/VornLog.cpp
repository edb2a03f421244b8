#include "common/VornLog.h"

#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "common/VornUtils.h"
#include "common/zException.h"

namespace {

const wchar_t* const kNotRegular = L"not a regular file";

} // namespace

VornLog::VornLog() : level(0), curLevel(4), file(nullptr) {}

VornLog::~VornLog() = default;

void VornLog::open(IfMissing ifMissing)
{
    const std::string narrowPath = vorn::fromUtf(path);
    // Only a regular file is used (a link to one too). A FIFO that nobody
    // reads, which anyone can make at a path in /tmp, takes 64 KiB of lines
    // and then blocks every write: the open does not wait for a reader
    // (O_NONBLOCK), and what it opened is checked before use. Close-on-exec:
    // programs that scripts start do not inherit the log.
    const vorn::RegularFile log = vorn::openRegularFile(
        narrowPath, O_WRONLY | O_APPEND | (ifMissing == IfMissing::Create ? O_CREAT : 0), 0666);
    // ENXIO: a FIFO without a reader, or a device without its driver.
    if (log.notRegular || log.error == ENXIO)
        throw zException(std::wstring(L"Log open error: ") + kNotRegular);
    if (log.fd < 0)
        throw zException(L"Log open error: " + vorn::toUtf(std::strerror(log.error)));
    const int fd = log.fd;
    FILE* opened = ::fdopen(fd, "ab");
    if (opened == nullptr) {
        const int err = errno;
        ::close(fd);
        throw zException(L"Log open error: " + vorn::toUtf(std::strerror(err)));
    }
    file = opened;
}

void VornLog::openStdout()
{
    if (file != nullptr && file != stdout && file != stderr)
        std::fclose(file);
    file = stdout;
}

void VornLog::openStderr()
{
    if (file != nullptr && file != stdout && file != stderr)
        std::fclose(file);
    file = stderr;
}

std::wstring VornLog::now()
{
    if (curLevel > level)
        return std::wstring();
    const time_t t = std::time(nullptr);
    struct tm local;
    std::memset(&local, 0, sizeof(local));
    localtime_r(&t, &local);
    char buf[80];
    std::memset(buf, 0, sizeof(buf));
    std::strftime(buf, sizeof(buf), "[%d/%m/%Y - %H:%M:%S", &local);
    char pidPart[32];
    std::snprintf(pidPart, sizeof(pidPart), " p%d]", static_cast<int>(vorn::getProcessID()));
    std::string stamp(buf);
    stamp += pidPart;
    return vorn::toUtf(stamp);
}

void VornLog::flush()
{
    if (buffer.empty())
        return;
    std::string line = vorn::fromUtf(buffer);
    buffer.clear();
    // Written as a C string: an embedded NUL ends the line there.
    line.resize(std::strlen(line.c_str()));
    line.push_back('\n');

    // Many processes append to the same file without a lock. The whole line
    // goes out in one write() on the append-mode descriptor, so a long line
    // (a backtrace) is never split by the stream's buffer and interleaved
    // with another process's line. Anything still buffered in the stream by
    // other users of `file` is flushed first to keep the order.
    FILE* out = file != nullptr ? file : stderr;
    std::fflush(out);
    const int fd = fileno(out);
    if (fd < 0) {
        std::fputs(line.c_str(), out);
        std::fflush(out);
        return;
    }
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a failed write loses the line, as documented
        p += n;
        left -= static_cast<size_t>(n);
    }
}

VornLog& endl(VornLog& log)
{
    log.flush();
    return log;
}

// ---- parts ------------------------------------------------------------------

void VornLog::writePart(std::wostream& os, const std::wstring& v) { os << v; }

void VornLog::writePart(std::wostream& os, const wchar_t* v)
{
    if (v != nullptr)
        os << v;
}

void VornLog::writePart(std::wostream& os, const std::string& v) { os << vorn::toUtf(v); }

void VornLog::writePart(std::wostream& os, const char* v) { os << vorn::toUtf(v); }

void VornLog::writePart(std::wostream& os, char v)
{
    os << static_cast<wchar_t>(static_cast<unsigned char>(v));
}

void VornLog::writePart(std::wostream& os, wchar_t v) { os << v; }

namespace {

// Control characters as \r, \n, \t or \xNN; every other character as it is.
template <typename Text>
Text escapeControls(const Text& text)
{
    using Char = typename Text::value_type;
    static const char digits[] = "0123456789ABCDEF";
    Text out;
    out.reserve(text.size());
    for (Char c : text) {
        const auto code = static_cast<uint32_t>(static_cast<std::make_unsigned_t<Char>>(c));
        const char named = code == '\r' ? 'r' : code == '\n' ? 'n' : code == '\t' ? 't' : '\0';
        if (named != '\0') {
            out.push_back(Char('\\'));
            out.push_back(Char(named));
        } else if (code < 0x20 || code == 0x7F) {
            out.push_back(Char('\\'));
            out.push_back(Char('x'));
            out.push_back(Char(digits[code >> 4]));
            out.push_back(Char(digits[code & 0xF]));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

std::string VornLog::escaped(const std::string& text) { return escapeControls(text); }

void VornLog::writePart(std::wostream& os, const Untrusted& v)
{
    if (v.wide != nullptr)
        os << escapeControls(*v.wide);
    else if (v.narrow != nullptr)
        os << vorn::toUtf(escapeControls(*v.narrow));
}
void VornLog::writePart(std::wostream& os, signed char v) { os << static_cast<int>(v); }
void VornLog::writePart(std::wostream& os, unsigned char v) { os << static_cast<unsigned int>(v); }
void VornLog::writePart(std::wostream& os, short v) { os << v; }
void VornLog::writePart(std::wostream& os, unsigned short v) { os << v; }
void VornLog::writePart(std::wostream& os, int v) { os << v; }
void VornLog::writePart(std::wostream& os, unsigned int v) { os << v; }
void VornLog::writePart(std::wostream& os, long v) { os << v; }
void VornLog::writePart(std::wostream& os, unsigned long v) { os << v; }
void VornLog::writePart(std::wostream& os, long long v) { os << v; }
void VornLog::writePart(std::wostream& os, unsigned long long v) { os << v; }
void VornLog::writePart(std::wostream& os, bool v) { os << (v ? L"1" : L"0"); }
void VornLog::writePart(std::wostream& os, double v) { os << v; }

void VornLog::logLimitedWarning(VornLogLimiter& limiter, VornLogLimiter::Clock::time_point now,
                                const std::string& kind, const std::string& detail)
{
    if (!enabled(LEVEL_WARNING))
        return;
    const VornLogLimiter::Verdict verdict = limiter.failed(kind, now);
    if (!verdict.write)
        return;
    const std::string note = verdict.unwritten > 0 ? VornLogLimiter::unwrittenNote(verdict.unwritten) : "";
    if (detail.empty() && note.empty())
        logWarning(kind);
    else if (detail.empty())
        logWarning(kind, note);
    else if (note.empty())
        logWarning(kind, detail);
    else
        logWarning(kind, detail, note);
}
