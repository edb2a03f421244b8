#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Uri.h"

// Free helpers shared by both deliverables: text conversion, string handling,
// time arithmetic, process ids, URL splitting and a few facts about the host.
// None of them throws zException.
namespace vorn {

// ---- Text conversion ------------------------------------------------------

// Reads every byte as one Latin-1 character (U+0000..U+00FF).
std::wstring toUtf(const std::string& text);
// Same; a null pointer gives an empty text.
std::wstring toUtf(const char* text);

// Writes wide text as UTF-8, dropping surrogates and values above U+10FFFF.
std::string fromUtf(const std::wstring& text);

// Decodes UTF-8 into wide text. Each byte that does not start a well-formed
// sequence (truncated, overlong, surrogate or above U+10FFFF) becomes U+FFFD.
std::wstring fromUtf8(const std::string& text);

// ---- Strings ----------------------------------------------------------------

void strRTrim(std::string& text, const std::string& set);
void strRTrim(std::wstring& text, const std::wstring& set);
void strLTrim(std::string& text, const std::string& set);
void strLTrim(std::wstring& text, const std::wstring& set);
void strTrim(std::string& text, const std::string& set);
void strTrim(std::wstring& text, const std::wstring& set);

// Replaces the first occurrence of `what` only; true when it replaced.
bool strReplace(std::string& text, const std::string& what, const std::string& with);
bool strReplace(std::wstring& text, const std::wstring& what, const std::wstring& with);

// Removes a UTF-8 byte-order mark from the start of a file's bytes, which
// editors may write and which is no part of the first line.
void dropByteOrderMark(std::string& bytes);

bool strStartsWith(const std::string& text, const std::string& prefix);
bool strStartsWith(const std::wstring& text, const std::wstring& prefix);
bool strEndsWith(const std::string& text, const std::string& suffix);

// Case conversion in place through the C library's tolower/toupper. The wide
// forms change only characters up to U+00FF and leave the others as they are.
void toLower(std::string& text);
void toLower(std::wstring& text);
void toUpper(std::string& text);
void toUpper(std::wstring& text);

// ---- Time and process ---------------------------------------------------------

int getTimeOfDay(timeval* tv);
// result = end - start, normalised with a borrow when the microseconds are short.
void timeDiff(const timeval& start, const timeval& end, timeval& result);
// A negative time (clock stepped back) counts as 0.
uint64_t toMilliseconds(const timeval& tv);
uint64_t toMicroseconds(const timeval& tv);
// The calling process's id: read once and kept; a forked child reads its own.
pid_t getProcessID();
pid_t getParentProcessID();

// ---- System and URL -----------------------------------------------------------

Uri parseURL(const std::wstring& url);
// The host name followed by "." and the domain of /etc/resolv.conf, or the
// host name unchanged.
std::wstring resolveFQDN(const std::wstring& hostname);
// Same, reading the given resolver file (the one above uses /etc/resolv.conf).
std::wstring resolveFQDN(const std::wstring& hostname, const std::string& resolverFile);
// First line printed by "/bin/uname -a", or an empty text.
std::wstring getSystemSpec();

// A file opened by openRegularFile.
struct RegularFile {
    int fd = -1;              // the descriptor, the caller's to close; -1 when none
    int error = 0;            // errno of a failed open
    bool notRegular = false;  // opened, but no regular file (a FIFO, a directory, a device): not kept
    struct stat st{};         // the status of what was opened (also when it is no regular file)
};

// Opens `path` with `flags` and `mode`, adding O_NONBLOCK and O_CLOEXEC, and
// keeps the descriptor only when it is a regular file. Any local user may have
// put something else at a name the probe uses: the open of a FIFO never waits
// for its other end, and a FIFO or device is never read, written or mapped.
RegularFile openRegularFile(const std::string& path, int flags, mode_t mode = 0);

// What readRegularFile found.
enum class FileRead { Ok, CannotOpen, NotRegularFile, ReadError };

// Reads up to `limit` bytes of the file at `path` (bytes, as they are) into
// `content`; `truncated` tells whether the file holds more. The file is opened
// without blocking and close-on-exec, and only a regular file is read: a FIFO
// in a configuration file's place cannot hold the caller, nor a device feed it
// for ever. When `error` is given it receives the errno of a failed open or
// read (CannotOpen, ReadError), 0 otherwise.
FileRead readRegularFile(const std::string& path, std::size_t limit, std::string& content, bool& truncated,
                         int* error = nullptr);

} // namespace vorn
