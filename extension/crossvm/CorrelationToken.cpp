#include "extension/crossvm/CorrelationToken.h"

#include <sys/time.h>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/crossvm/CrossVmRules.h"

namespace {

const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one Base64 character; '=' counts as 0. -1 for anything else.
int base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 0;
    return -1;
}

std::string base64Encode(const std::string& data)
{
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : data) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(kBase64Alphabet[(bits >> count) & 0x3F]);
        }
    }
    if (count > 0) {
        out.push_back(kBase64Alphabet[(bits << (6 - count)) & 0x3F]);
    }
    return out;
}

void decodeFailure(const std::string& text, const wchar_t* reason)
{
    // The text comes from outside: show a bounded excerpt that cannot break
    // the line of whoever logs the message.
    throw zException(std::wstring(L"Invalid correlation token (") + reason + L"): " +
                     vorn::toUtf(crossvm::logSafe(text, 64)));
}

} // namespace

const std::string CorrelationToken::NULL_PLACEHOLDER = "\\0";

CorrelationToken::CorrelationToken()
    : magic('!'), version(15), bitmask(16)
{
}

CorrelationToken::~CorrelationToken() = default;

namespace {

// The length prefix and the first `length` bytes of `value`.
void appendField(std::string& payload, const std::string& value, std::size_t length)
{
    if (length > CorrelationToken::MAX_STRING_LENGTH)
        length = CorrelationToken::MAX_STRING_LENGTH;
    payload.push_back(static_cast<char>((length >> 8) & 0xFF));
    payload.push_back(static_cast<char>(length & 0xFF));
    payload.append(value, 0, length);
}

} // namespace

void CorrelationToken::appendString(std::string& payload, const std::string& value) const
{
    appendField(payload, value, value.size());
}

void CorrelationToken::extractString(std::string& payload, std::string& field)
{
    if (payload.size() < 2) {
        return;
    }
    const uint16_t prefix = static_cast<uint16_t>(
        (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]));
    payload.erase(0, 2);
    const int16_t length = static_cast<int16_t>(prefix);
    if (length < 0 || static_cast<std::size_t>(length) > payload.size()) {
        return;
    }
    field.assign(payload, 0, static_cast<std::size_t>(length));
    payload.erase(0, static_cast<std::size_t>(length));
}

std::size_t CorrelationToken::safeCut(const std::string& text, std::size_t limit, bool escaped)
{
    if (text.size() <= limit)
        return text.size();
    const auto continues = [&text](std::size_t at) {
        return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    std::size_t whole = 0;  // last end of a unit (a byte, or an escape pair) within the limit
    std::size_t text8 = 0;  // of those, the last one between two UTF-8 characters
    for (std::size_t at = 0; at < limit;) {
        const std::size_t unit = (escaped && text[at] == '\\' && at + 1 < text.size()) ? 2 : 1;
        if (at + unit > limit)
            break;
        at += unit;
        whole = at;
        if (!continues(at))
            text8 = at;
    }
    // A UTF-8 character is at most four bytes: further back there was none.
    return whole - text8 <= 3 ? text8 : whole;
}

std::string CorrelationToken::boundFragmentId(const std::string& id)
{
    if (id.size() <= MAX_FRAGMENT_ID_LENGTH)
        return id;
    // The fields, each up to its unescaped '&'.
    std::string fields[7];
    std::size_t count = 0;
    std::size_t begin = 0;
    bool sevenFields = true;
    for (std::size_t at = 0; at < id.size(); ++at) {
        if (id[at] == '\\') {
            ++at;
        } else if (id[at] == '&') {
            if (count == 7) {
                sevenFields = false;
                break;
            }
            fields[count++].assign(id, begin, at - begin);
            begin = at + 1;
        }
    }
    if (!sevenFields || count != 7 || begin != id.size())
        return id.substr(0, safeCut(id, MAX_FRAGMENT_ID_LENGTH, true));

    static const std::size_t limits[7] = {MAX_START_FIELD, MAX_AGENT_FIELD, MAX_METHOD_FIELD, MAX_PATH_FIELD,
                                          0, MAX_PLACEHOLDER_FIELD, MAX_PLACEHOLDER_FIELD};
    std::size_t used = 7;  // the '&' after each field
    for (std::size_t i = 0; i < 7; ++i) {
        if (i == 4)
            continue;
        fields[i].resize(safeCut(fields[i], limits[i], true));
        used += fields[i].size();
    }
    fields[4].resize(safeCut(fields[4], MAX_FRAGMENT_ID_LENGTH - used, true));
    std::string out;
    out.reserve(MAX_FRAGMENT_ID_LENGTH);
    for (const std::string& field : fields) {
        out += field;
        out += '&';
    }
    return out;
}

std::string CorrelationToken::toString() const
{
    // Each string cut to its bound, so that the header stays small.
    const std::size_t idLength = safeCut(correlationId, MAX_CORRELATION_ID_LENGTH, false);
    const std::size_t urlLength = safeCut(url, MAX_URL_LENGTH, false);
    std::string origCut;
    std::string fragmentCut;
    const std::string& orig = origFragmentId.size() <= MAX_FRAGMENT_ID_LENGTH
                                  ? origFragmentId
                                  : (origCut = boundFragmentId(origFragmentId));
    const std::string& fragment = fragmentId.size() <= MAX_FRAGMENT_ID_LENGTH
                                      ? fragmentId
                                      : (fragmentCut = boundFragmentId(fragmentId));

    uint8_t bits = BIT_ALWAYS;
    if (idLength != 0) bits |= BIT_CORRELATION_ID;
    if (urlLength != 0) bits |= BIT_URL;
    if (!orig.empty()) bits |= BIT_ORIG_FRAGMENT_ID;

    std::string payload;
    payload.reserve(MAX_PAYLOAD_LENGTH);
    payload.push_back(static_cast<char>(version));
    payload.push_back(static_cast<char>(bits));
    if (idLength != 0) appendField(payload, correlationId, idLength);
    if (urlLength != 0) appendField(payload, url, urlLength);
    if (!orig.empty()) appendString(payload, orig);
    appendString(payload, fragment);
    while (payload.size() % 3 != 0) {
        payload.push_back(' ');
    }
    return std::string(1, magic) + base64Encode(payload);
}

bool CorrelationToken::decodePayload(const std::string& text, std::string& payload, const wchar_t** reason)
{
    const wchar_t* why = nullptr;
    if (text.empty()) {
        why = L"empty";
    } else if ((text.size() - 1) % 4 == 1) {
        why = L"truncated Base64";
    }
    std::string decoded;
    if (why == nullptr) {
        decoded.reserve((text.size() - 1) / 4 * 3 + 2);
        uint32_t bits = 0;
        int count = 0;
        for (std::size_t i = 1; i < text.size(); ++i) {
            const int v = base64Value(static_cast<unsigned char>(text[i]));
            if (v < 0) {
                why = L"character outside Base64";
                break;
            }
            bits = ((bits << 6) | static_cast<uint32_t>(v)) & 0xFFFFFF;
            count += 6;
            if (count >= 8) {
                count -= 8;
                decoded.push_back(static_cast<char>((bits >> count) & 0xFF));
            }
        }
    }
    if (why != nullptr) {
        if (reason != nullptr) *reason = why;
        return false;
    }
    payload.swap(decoded);
    return true;
}

void CorrelationToken::fromString(const std::string& text)
{
    std::string payload;
    const wchar_t* reason = nullptr;
    if (!decodePayload(text, payload, &reason)) {
        decodeFailure(text, reason);
    }

    // Decoded completely: only now are fields assigned.
    magic = text[0];
    version = payload.empty() ? 0 : static_cast<uint8_t>(payload[0]);
    if (!payload.empty()) payload.erase(0, 1);
    bitmask = payload.empty() ? 0 : static_cast<uint8_t>(payload[0]);
    if (!payload.empty()) payload.erase(0, 1);

    if (bitmask & BIT_CORRELATION_ID) extractString(payload, correlationId);
    if (bitmask & BIT_URL) extractString(payload, url);
    if (bitmask & BIT_ORIG_FRAGMENT_ID) extractString(payload, origFragmentId);
    extractString(payload, fragmentId);
}

std::string CorrelationToken::escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

std::string CorrelationToken::generateId(VornLog& /*log*/)
{
    timeval now{};
    vorn::getTimeOfDay(&now);
    return std::to_string(static_cast<long>(now.tv_usec)) + "-" +
           std::to_string(static_cast<long>(vorn::getProcessID()));
}

std::string CorrelationToken::generateFragmentID(VornLog& /*log*/, const RequestInfo& info)
{
    // Built, then cut field by field: the same cut a carried id gets, so an
    // id made here is carried on unchanged. Each character gives at least one
    // byte, so no more of a field than the whole id's bound can be kept: the
    // rest is not converted (the work stays the same however long the URL).
    const std::size_t keep = MAX_FRAGMENT_ID_LENGTH + 1;
    const auto head = [keep](const std::string& text) {
        return text.size() > keep ? escape(text.substr(0, keep)) : escape(text);
    };
    const auto headOf = [keep](const std::wstring& text) {
        return text.size() > keep ? vorn::fromUtf(text.substr(0, keep)) : vorn::fromUtf(text);
    };
    std::string id;
    id += std::to_string(info.startMs) + "&";
    id += head(info.agentId) + "&";
    // The method is the client's: a server may pass on one that holds '&'
    // (a token character), which would shift every field after it.
    id += head(info.method) + "&";
    id += escape(headOf(info.uri.path)) + "&";
    id += escape(headOf(info.uri.query)) + "&";
    id += NULL_PLACEHOLDER + "&";
    id += NULL_PLACEHOLDER + "&";
    return boundFragmentId(id);
}

void CorrelationToken::print(VornLog& log, const std::string& text)
{
    CorrelationToken token;
    token.fromString(text);  // raises for a token that does not read, also with the line off
    if (!log.enabled(VornLog::LEVEL_DBG2))
        return;
    // The fields may come from another machine: none may break the line.
    log.logDbg2("Magic:", static_cast<unsigned char>(token.magic),
                ", Version:", token.version,
                ", Bitmask:", token.bitmask,
                "CorrelationID:", crossvm::logSafe(token.correlationId),
                ", URL:", crossvm::logSafe(token.url),
                ", OrigFragmentID:", crossvm::logSafe(token.origFragmentId),
                "FragmentID:", crossvm::logSafe(token.fragmentId));
}
