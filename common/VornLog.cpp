#include "common/VornLog.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/VornUtils.h"
#include "common/zException.h"

VornLog::VornLog() : level(0), curLevel(4), file(nullptr) {}

VornLog::~VornLog() = default;

void VornLog::open()
{
    errno = 0;
    const std::string narrowPath = vorn::fromUtf(path);
    file = std::fopen(narrowPath.c_str(), "a+b");
    if (file == nullptr) {
        const int err = errno;
        throw zException(L"Log open error: " + vorn::toUtf(std::strerror(err)));
    }
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
    const std::string line = vorn::fromUtf(buffer);
    // One formatted write per line, so lines of concurrent processes that
    // append to the same file do not interleave within a line.
    FILE* out = file != nullptr ? file : stderr;
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    buffer.clear();
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
