#include "common/VornUtils.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <boost/regex.hpp>

namespace vorn {

// ---- Text conversion ------------------------------------------------------

std::wstring toUtf(const std::string& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(static_cast<wchar_t>(c));
    return out;
}

std::wstring toUtf(const char* text)
{
    if (text == nullptr)
        return std::wstring();
    return toUtf(std::string(text));
}

std::string fromUtf(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        const uint32_t v = static_cast<uint32_t>(wc);
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            continue;
        if (v < 0x80) {
            out.push_back(static_cast<char>(v));
        } else if (v < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (v >> 6)));
            out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
        } else if (v < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (v >> 12)));
            out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (v >> 18)));
            out.push_back(static_cast<char>(0x80 | ((v >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
        }
    }
    return out;
}

std::wstring fromUtf8(const std::string& text)
{
    static const wchar_t replacement = 0xFFFD;
    std::wstring out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<wchar_t>(c));
            ++i;
            continue;
        }
        size_t len;
        uint32_t v;
        uint32_t min;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2; v = c & 0x1F; min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3; v = c & 0x0F; min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4; v = c & 0x07; min = 0x10000;
        } else {
            out.push_back(replacement);
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                ok = false;
            else
                v = (v << 6) | (cc & 0x3F);
        }
        if (ok && (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)))
            ok = false;
        if (!ok) {
            // Skip only the lead byte so a following valid sequence survives.
            out.push_back(replacement);
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(v));
        i += len;
    }
    return out;
}

// ---- Strings ----------------------------------------------------------------

namespace {

template <typename S>
void rtrim(S& text, const S& set)
{
    const typename S::size_type pos = text.find_last_not_of(set);
    if (pos == S::npos)
        text.clear();
    else
        text.erase(pos + 1);
}

template <typename S>
void ltrim(S& text, const S& set)
{
    const typename S::size_type pos = text.find_first_not_of(set);
    if (pos == S::npos)
        text.clear();
    else
        text.erase(0, pos);
}

template <typename S>
bool replaceFirst(S& text, const S& what, const S& with)
{
    const typename S::size_type pos = text.find(what);
    if (pos == S::npos)
        return false;
    text.replace(pos, what.size(), with);
    return true;
}

} // namespace

void strRTrim(std::string& text, const std::string& set)
{
    if (!set.empty())
        rtrim(text, set);
}

void strRTrim(std::wstring& text, const std::wstring& set)
{
    if (!set.empty())
        rtrim(text, set);
}

void strLTrim(std::string& text, const std::string& set)
{
    if (!set.empty())
        ltrim(text, set);
}

void strLTrim(std::wstring& text, const std::wstring& set)
{
    if (!set.empty())
        ltrim(text, set);
}

void strTrim(std::string& text, const std::string& set)
{
    strRTrim(text, set);
    strLTrim(text, set);
}

void strTrim(std::wstring& text, const std::wstring& set)
{
    strRTrim(text, set);
    strLTrim(text, set);
}

bool strReplace(std::string& text, const std::string& what, const std::string& with)
{
    return replaceFirst(text, what, with);
}

bool strReplace(std::wstring& text, const std::wstring& what, const std::wstring& with)
{
    return replaceFirst(text, what, with);
}

void dropByteOrderMark(std::string& bytes)
{
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
}

bool strStartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() >= prefix.size();
}

bool strStartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() >= prefix.size();
}

bool strEndsWith(const std::string& text, const std::string& suffix)
{
    if (suffix.size() > text.size())
        return false;
    return text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void toLower(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void toUpper(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void toLower(std::wstring& text)
{
    for (wchar_t& c : text) {
        const uint32_t v = static_cast<uint32_t>(c);
        if (v <= 0xFF)
            c = static_cast<wchar_t>(std::tolower(static_cast<int>(v)));
    }
}

void toUpper(std::wstring& text)
{
    for (wchar_t& c : text) {
        const uint32_t v = static_cast<uint32_t>(c);
        if (v <= 0xFF)
            c = static_cast<wchar_t>(std::toupper(static_cast<int>(v)));
    }
}

// ---- Time and process ---------------------------------------------------------

int getTimeOfDay(timeval* tv)
{
    return gettimeofday(tv, nullptr);
}

void timeDiff(const timeval& start, const timeval& end, timeval& result)
{
    result.tv_sec = 0;
    result.tv_usec = 0;
    int64_t sec = static_cast<int64_t>(end.tv_sec) - static_cast<int64_t>(start.tv_sec);
    int64_t usec;
    if (end.tv_usec < start.tv_usec) {
        usec = static_cast<int64_t>(end.tv_usec) - start.tv_usec + 1000000;
        sec -= 1;
    } else {
        usec = static_cast<int64_t>(end.tv_usec) - start.tv_usec;
    }
    if (usec > 1000000) {
        usec -= 1000000;
        sec += 1;
    }
    result.tv_sec = static_cast<time_t>(sec);
    result.tv_usec = static_cast<suseconds_t>(usec);
}

uint64_t toMilliseconds(const timeval& tv)
{
    // Signed arithmetic first: a negative time (the clock stepped back between
    // two readings) must not wrap to a huge unsigned duration.
    const int64_t ms = static_cast<int64_t>(tv.tv_sec) * 1000 + static_cast<int64_t>(tv.tv_usec) / 1000;
    return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

uint64_t toMicroseconds(const timeval& tv)
{
    const int64_t us = static_cast<int64_t>(tv.tv_sec) * 1000000 + static_cast<int64_t>(tv.tv_usec);
    return us < 0 ? 0 : static_cast<uint64_t>(us);
}

namespace {

// Every capture event and every log line asks for the process id; it is
// read from the kernel once and then kept. A forked child must not go on
// reporting its parent's id (PHP-FPM and Apache fork their workers after the
// extension is loaded), so the child side of fork() drops the kept value and
// the child reads its own at its next call. 0 means "not read yet".
std::atomic<pid_t> cachedPid{0};

void forgetPidInChild()
{
    cachedPid.store(0, std::memory_order_relaxed);
}

} // namespace

pid_t getProcessID()
{
    // Registered once, before the first value is kept, so no fork can come
    // between keeping a value and being told to drop it.
    static const bool forkHandlerRegistered =
        pthread_atfork(nullptr, nullptr, &forgetPidInChild) == 0;
    pid_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid != 0)
        return pid;
    pid = getpid();
    // Without a fork handler a kept value could outlive a fork: ask every time.
    if (forkHandlerRegistered)
        cachedPid.store(pid, std::memory_order_relaxed);
    return pid;
}

pid_t getParentProcessID()
{
    return getppid();
}

// ---- System and URL -----------------------------------------------------------

Uri parseURL(const std::wstring& url)
{
    Uri uri;
    if (url.empty())
        return uri;
    const size_t npos = std::wstring::npos;
    const size_t len = url.size();

    const size_t queryPos = url.find(L'?');
    const size_t queryStart = queryPos == npos ? len : queryPos;

    // Only a "://" before the query introduces a protocol: a colon inside the
    // query ("/r?u=http://b/c") belongs to the query.
    size_t hostStart = 0;
    const size_t colon = url.find(L':');
    if (colon != npos && colon < queryStart && len - colon > 3 && url.compare(colon, 3, L"://") == 0) {
        uri.protocol = url.substr(0, colon);
        hostStart = colon + 3;
    }
    if (hostStart > queryStart)
        hostStart = queryStart;

    // A "/" inside the query is not the path.
    size_t slash = url.find(L'/', hostStart);
    if (slash != npos && slash > queryStart)
        slash = npos;
    const size_t pathStart = slash == npos ? len : slash;
    const size_t hostEnd = slash != npos ? pathStart : queryStart;

    size_t portColon = url.find(L':', hostStart);
    if (portColon != npos && portColon >= hostEnd)
        portColon = npos;

    uri.host = url.substr(hostStart, (portColon != npos ? portColon : hostEnd) - hostStart);
    if (portColon != npos) {
        const size_t portEnd = slash != npos ? pathStart : queryStart;
        uri.port = url.substr(portColon + 1, portEnd - (portColon + 1));
    }
    if (slash != npos) {
        uri.path = url.substr(pathStart, queryStart - pathStart);
        uri.collapsedPath = uri.path;
    }
    if (queryPos != npos)
        uri.query = url.substr(queryPos);
    return uri;
}

std::wstring resolveFQDN(const std::wstring& hostname)
{
    return resolveFQDN(hostname, "/etc/resolv.conf");
}

std::wstring resolveFQDN(const std::wstring& hostname, const std::string& resolverFile)
{
    static const boost::wregex domainRe(L"domain[ \t]*(.*)", boost::regex::perl);
    static const boost::wregex searchRe(L"search[ \t]*(.*)", boost::regex::perl);
    // Resolver files are a few lines long; reading is capped so that a
    // strange file cannot make us allocate without bound.
    static const std::streamsize maxBytes = 1024 * 1024;

    std::wstring result = hostname;
    std::ifstream in(resolverFile.c_str(), std::ios::in | std::ios::binary);
    if (!in.is_open())
        return result;
    std::string content(static_cast<size_t>(maxBytes), '\0');
    in.read(&content[0], maxBytes);
    content.resize(static_cast<size_t>(in.gcount()));

    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::wstring line = toUtf(content.substr(start, end - start));
        start = end + 1;
        boost::wsmatch m;
        bool matched = false;
        try {
            matched = boost::regex_match(line, m, domainRe) || boost::regex_match(line, m, searchRe);
        } catch (const std::exception&) {
            matched = false;
        }
        if (matched) {
            result += L".";
            result += m[1].str();
            strRTrim(result, L"\n\r \t");
            break;
        }
    }
    return result;
}

std::wstring getSystemSpec()
{
    FILE* pipe = popen("/bin/uname -a", "r");
    if (pipe == nullptr)
        return std::wstring();
    char buf[512];
    std::memset(buf, 0, sizeof(buf));
    if (fgets(buf, sizeof(buf), pipe) == nullptr)
        buf[0] = '\0';
    std::string line(buf);
    strRTrim(line, " \n\r\t");
    pclose(pipe);
    return toUtf(line);
}

RegularFile openRegularFile(const std::string& path, int flags, mode_t mode)
{
    RegularFile file;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        file.error = errno;
        return file;
    }
    if (::fstat(fd, &file.st) != 0 || !S_ISREG(file.st.st_mode)) {
        ::close(fd);
        file.notRegular = true;
        return file;
    }
    file.fd = fd;
    return file;
}

FileRead readRegularFile(const std::string& path, std::size_t limit, std::string& content, bool& truncated,
                         int* error)
{
    content.clear();
    truncated = false;
    if (error != nullptr)
        *error = 0;
    const RegularFile file = openRegularFile(path, O_RDONLY);
    if (file.fd < 0) {
        if (error != nullptr)
            *error = file.error;
        return file.notRegular ? FileRead::NotRegularFile : FileRead::CannotOpen;
    }
    const int fd = file.fd;
    // One byte past the limit tells a file of exactly `limit` bytes from a
    // larger one.
    const std::size_t want = limit + 1;
    content.assign(want, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < want) {
        const ssize_t n = ::read(fd, &content[got], want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed = true;
            if (error != nullptr)
                *error = errno;
        }
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failed) {
        content.clear();
        return FileRead::ReadError;
    }
    content.resize(got);
    if (content.size() > limit) {
        content.resize(limit);
        truncated = true;
    }
    return FileRead::Ok;
}

} // namespace vorn
