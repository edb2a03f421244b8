#pragma once

#include <cstdint>
#include <string>

#include "common/Uri.h"

class VornLog;

// The value of the correlation header that outgoing HTTP calls carry: a magic
// character ('!' sampled chain, '@' not sampled) followed by the Base64 form
// of a small binary payload (version, bitmask, length-prefixed strings).
class CorrelationToken {
public:
    // Facts of the current request that fragment ids are built from.
    struct RequestInfo {
        uint64_t startMs = 0;   // request start, milliseconds since the epoch
        std::string agentId;
        std::string method;     // HTTP method
        vorn::Uri uri;
    };

    // Bitmask bits of the payload.
    static constexpr uint8_t BIT_CORRELATION_ID = 0x02;
    static constexpr uint8_t BIT_URL = 0x04;
    static constexpr uint8_t BIT_ORIG_FRAGMENT_ID = 0x08;
    static constexpr uint8_t BIT_ALWAYS = 0x10;

    // Longest string a length prefix can carry (the reader takes it as a
    // signed 16-bit number).
    static constexpr std::size_t MAX_STRING_LENGTH = 32767;

    // Stands for each of the two empty trailing fields of a fragment id: a
    // backslash followed by the digit zero.
    static const std::string NULL_PLACEHOLDER;

    CorrelationToken();
    virtual ~CorrelationToken();

    // The token text. Strings longer than MAX_STRING_LENGTH are cut to it, so
    // that every text written here can be read back.
    std::string toString() const;

    // Reads a token text into this token. Raises zException on an empty text,
    // a character outside the Base64 alphabet (and '='), or a Base64 part
    // leaving a single character after its last group of four; no field is
    // changed then. Length prefixes that do not fit are skipped, not errors.
    void fromString(const std::string& text);

    // The payload of a token text (the Base64 after the magic character),
    // decoded as fromString decodes it. False, with the reason, where
    // fromString raises.
    static bool decodePayload(const std::string& text, std::string& payload, const wchar_t** reason);

    void appendString(std::string& payload, const std::string& value) const;
    void extractString(std::string& payload, std::string& field);

    // A backslash before every '&' and every backslash.
    static std::string escape(const std::string& text);

    // "<microseconds of now>-<pid>", for example 52345-4711.
    static std::string generateId(VornLog& log);

    // "startMs&agentId&method&path&query&\0&\0&" with agentId, method, path
    // and query escaped.
    static std::string generateFragmentID(VornLog& log, const RequestInfo& info);

    // Decodes the text and writes its fields as one DBG2 line. Raises the
    // reader's zException for a text it cannot decode.
    static void print(VornLog& log, const std::string& text);

    char magic;
    uint8_t version;
    uint8_t bitmask;
    std::string correlationId;
    std::string url;
    std::string origFragmentId;
    std::string fragmentId;
};
