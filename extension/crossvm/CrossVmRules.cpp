#include "extension/crossvm/CrossVmRules.h"

#include <cstdint>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/crossvm/CorrelationToken.h"

namespace crossvm {

namespace {
constexpr char kHeaderName[] = "X-Kolvane-Diag-HTTP-Color";
}

const char* const HEADER_NAME = kHeaderName;

// The whole header line the probe adds, its line end included, stays within
// 1 KiB whatever the request and the call.
static_assert(sizeof(kHeaderName) - 1 + 2 + CorrelationToken::MAX_TEXT_LENGTH + 2 <= 1024,
              "the correlation header fits in 1 KiB");

namespace {

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || lowerAscii(text[i]) != lowerAscii(prefix[i]))
            return false;
    }
    return true;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

std::string headerLine(const std::string& token)
{
    return std::string(HEADER_NAME) + ": " + token;
}

bool isHttpUrl(const std::string& url)
{
    return startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://");
}

bool isCorrelationHeaderLine(const std::string& line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::string name = line.substr(0, colon);
    vorn::strTrim(name, " \t");
    const std::string wanted(HEADER_NAME);
    if (name.size() != wanted.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (lowerAscii(name[i]) != lowerAscii(wanted[i]))
            return false;
    }
    return true;
}

std::vector<std::string> mergeHeaderLines(const std::vector<std::string>& lines, const std::string& correlationLine)
{
    std::vector<std::string> merged;
    merged.reserve(lines.size() + 1);
    bool placed = false;
    for (const std::string& line : lines) {
        if (isCorrelationHeaderLine(line)) {
            if (!placed)
                merged.push_back(correlationLine);
            placed = true;
            continue;
        }
        merged.push_back(line);
    }
    if (!placed)
        merged.push_back(correlationLine);
    return merged;
}

std::string mergeHeaderText(const std::string& text, const std::string& correlationLine)
{
    std::string merged = correlationLine + "\r\n";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        if (!isCorrelationHeaderLine(line))
            merged += line;
        start = end;
    }
    return merged;
}

std::string targetDescriptor(const std::string& url)
{
    const vorn::Uri uri = vorn::parseURL(vorn::toUtf(url));
    std::string descriptor = "DIAG_ARG:type=http&name=";
    descriptor += uri.path.empty() ? std::string("/") : vorn::fromUtf(uri.path);
    descriptor += "&target=" + vorn::fromUtf(uri.host);
    if (!uri.port.empty())
        descriptor += ":" + vorn::fromUtf(uri.port);
    return descriptor;
}

std::string logSafe(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return VornLog::escaped(text);
    return VornLog::escaped(text.substr(0, limit)) + "...";
}

bool readIncomingToken(const std::string& text, CorrelationToken& token, std::string& why)
{
    if (text.empty()) {
        why = "empty";
        return false;
    }
    if (text.size() > MAX_INCOMING_TOKEN) {
        why = "too long";
        return false;
    }
    if (text[0] != '!' && text[0] != '@') {
        why = "unknown magic character";
        return false;
    }
    std::string payload;
    const wchar_t* reason = nullptr;
    if (!CorrelationToken::decodePayload(text, payload, &reason)) {
        why = vorn::fromUtf(reason != nullptr ? std::wstring(reason) : std::wstring(L"not Base64"));
        return false;
    }
    if (payload.size() < 2) {
        why = "no version and bitmask";
        return false;
    }
    // Every string the bitmask announces, and the fragment id, must be held
    // whole by its length prefix.
    const uint8_t bitmask = static_cast<uint8_t>(payload[1]);
    int fields = 1;
    for (uint8_t bit : {CorrelationToken::BIT_CORRELATION_ID, CorrelationToken::BIT_URL,
                        CorrelationToken::BIT_ORIG_FRAGMENT_ID}) {
        if (bitmask & bit)
            ++fields;
    }
    std::size_t at = 2;
    for (int i = 0; i < fields; ++i) {
        if (payload.size() - at < 2) {
            why = "a string is missing";
            return false;
        }
        const std::size_t length = (static_cast<unsigned char>(payload[at]) << 8) | static_cast<unsigned char>(payload[at + 1]);
        at += 2;
        if (length > CorrelationToken::MAX_STRING_LENGTH || length > payload.size() - at) {
            why = "a string is longer than the token";
            return false;
        }
        at += length;
    }
    token.fromString(text);
    return true;
}

bool isTcpAddress(const std::string& address)
{
    // The scheme is the run of lowercase letters just before the first "://"
    // that has one. A plain scan: the address is the script's, of any length,
    // and a backtracking regex takes quadratic time and stack on it.
    for (std::size_t at = address.find("://"); at != std::string::npos; at = address.find("://", at + 1)) {
        std::size_t begin = at;
        while (begin > 0 && address[begin - 1] >= 'a' && address[begin - 1] <= 'z')
            --begin;
        if (begin < at)
            return address.compare(begin, at - begin, "tcp") == 0;
    }
    return true;
}

bool parseRawRequest(const std::string& data, std::string& path, std::size_t& insertAt)
{
    const std::size_t lf = data.find('\n');
    if (lf == std::string::npos)
        return false;
    const std::string line = data.substr(0, lf + 1);
    std::size_t methodLength = 0;
    if (line.compare(0, 3, "GET") == 0)
        methodLength = 3;
    else if (line.compare(0, 4, "POST") == 0)
        methodLength = 4;
    else
        return false;
    if (!endsWith(line, "HTTP/1.0\r\n") && !endsWith(line, "HTTP/1.1\r\n"))
        return false;
    if (line.size() < methodLength + 10)
        return false;
    path = line.substr(methodLength, line.size() - 10 - methodLength);
    vorn::strTrim(path, "\n\r \t");
    insertAt = lf + 1;
    return true;
}

std::size_t scriptBytesWritten(std::size_t written, std::size_t prefix, std::size_t header)
{
    if (written <= prefix)
        return written;
    if (written < prefix + header)
        return prefix;
    return written - header;
}

} // namespace crossvm
