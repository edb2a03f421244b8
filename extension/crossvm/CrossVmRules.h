#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CorrelationToken;

// The engine-free rules of the outgoing-HTTP handlers: which calls are HTTP
// calls, how the correlation header joins the header lines a script set, how
// an incoming token is checked before anything of it is passed on, and how
// texts from outside are made safe for the log.
namespace crossvm {

// Name of the correlation header.
extern const char* const HEADER_NAME;

// "X-Kolvane-Diag-HTTP-Color: <token>", without a line end.
std::string headerLine(const std::string& token);

// True for "http://" and "https://" URLs, the scheme in any case.
bool isHttpUrl(const std::string& url);

// True when the header line's name is the correlation header's, compared
// case-insensitively (blanks before the colon allowed).
bool isCorrelationHeaderLine(const std::string& line);

// The script's header lines with the correlation line in place: a correlation
// line the script set itself is replaced (in its place; later ones dropped),
// otherwise the line is appended. Every other line is kept as it is.
std::vector<std::string> mergeHeaderLines(const std::vector<std::string>& lines,
                                          const std::string& correlationLine);

// Header text (lines ended by CR LF or LF) with the correlation line first,
// ended by CR LF, followed by the script's text minus any correlation line of
// its own. The script's other lines keep their bytes and line ends.
std::string mergeHeaderText(const std::string& text, const std::string& correlationLine);

// The target descriptor of a remote call:
// "DIAG_ARG:type=http&name=<path or />&target=<host>[:<port>]".
std::string targetDescriptor(const std::string& url);

// A text from outside written so that it stays on one log line: control
// characters become \r, \n, \t or \xHH escapes (a backslash itself is left
// alone), and more than `limit` bytes are cut, marked by "...".
std::string logSafe(const std::string& text, std::size_t limit = 1024);

// Longest incoming token text that is read at all.
constexpr std::size_t MAX_INCOMING_TOKEN = 65536;

// Reads an incoming token strictly: a magic of '!' or '@', Base64 that
// decodes, a version and bitmask byte, and every string the bitmask announces
// held whole by its length prefix. False (with `why`) leaves `token` as it
// was.
bool readIncomingToken(const std::string& text, CorrelationToken& token, std::string& why);

// A socket address the stream handler follows: no scheme, or "tcp://".
// Another scheme ("ssl://", "udp://", "unix://"...) is not followed.
bool isTcpAddress(const std::string& address);

// An HTTP request written by hand. `data` qualifies when its first line (up to
// its first LF) begins with "GET" or "POST" and ends with "HTTP/1.0" or
// "HTTP/1.1" followed by CR LF. `path` is what lies between method and
// version, trimmed; `insertAt` the offset just after that first LF.
bool parseRawRequest(const std::string& data, std::string& path, std::size_t& insertAt);

// Of `written` bytes of the changed data (the script's first `prefix` bytes,
// then `header` bytes of correlation line, then the script's rest), how many
// were the script's own.
std::size_t scriptBytesWritten(std::size_t written, std::size_t prefix, std::size_t header);

} // namespace crossvm
