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

    // What the writer keeps of each string, so that the header stays small
    // whatever the client's URL, the URL the application calls or a carried
    // originating fragment id: servers refuse header lines past a few KiB
    // (nginx: 8 KiB by default), and the application would see its call fail.
    static constexpr std::size_t MAX_CORRELATION_ID_LENGTH = 24;  // ours are at most 14
    static constexpr std::size_t MAX_URL_LENGTH = 256;
    static constexpr std::size_t MAX_FRAGMENT_ID_LENGTH = 224;    // both fragment ids
    // Within a fragment id, escaped bytes kept of each field; the query gets
    // what the others leave, at least a few bytes.
    static constexpr std::size_t MAX_START_FIELD = 20;
    static constexpr std::size_t MAX_AGENT_FIELD = 64;
    static constexpr std::size_t MAX_METHOD_FIELD = 16;
    static constexpr std::size_t MAX_PATH_FIELD = 104;
    static constexpr std::size_t MAX_PLACEHOLDER_FIELD = 4;
    static_assert(MAX_START_FIELD + MAX_AGENT_FIELD + MAX_METHOD_FIELD + MAX_PATH_FIELD + 2 * MAX_PLACEHOLDER_FIELD
                          + 7 < MAX_FRAGMENT_ID_LENGTH,
                  "the query keeps room in a fragment id");

    // The longest text the writer produces: magic, then Base64 of the padded
    // payload (version, bitmask, four length-prefixed strings).
    static constexpr std::size_t MAX_PAYLOAD_LENGTH =
        (2 + (2 + MAX_CORRELATION_ID_LENGTH) + (2 + MAX_URL_LENGTH) + 2 * (2 + MAX_FRAGMENT_ID_LENGTH) + 2) / 3 * 3;
    static constexpr std::size_t MAX_TEXT_LENGTH = 1 + MAX_PAYLOAD_LENGTH / 3 * 4;

    // Stands for each of the two empty trailing fields of a fragment id: a
    // backslash followed by the digit zero.
    static const std::string NULL_PLACEHOLDER;

    CorrelationToken();
    virtual ~CorrelationToken();

    // The token text, at most MAX_TEXT_LENGTH characters. Each string is cut
    // to its bound above (the fragment ids field by field, see
    // boundFragmentId), never inside a UTF-8 sequence, so that every text
    // written here reads back with each field whole text.
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
    // and query escaped, cut by boundFragmentId.
    static std::string generateFragmentID(VornLog& log, const RequestInfo& info);

    // A fragment id cut to MAX_FRAGMENT_ID_LENGTH bytes. One of seven fields
    // keeps its seven fields, each cut to its bound (the query to what the
    // others leave); any other text is cut as a whole. Cuts fall between
    // characters: never between a backslash and the character it escapes,
    // nor inside a UTF-8 sequence. An id within the bounds is returned
    // unchanged, so cutting again changes nothing.
    static std::string boundFragmentId(const std::string& id);

    // The longest prefix of `text` of at most `limit` bytes that ends between
    // two UTF-8 characters (and, with `escaped`, not between a backslash and
    // the byte it escapes). A text that is no UTF-8 is cut at most three
    // bytes short of the limit.
    static std::size_t safeCut(const std::string& text, std::size_t limit, bool escaped);

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
