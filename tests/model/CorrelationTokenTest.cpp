#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/crossvm/CorrelationToken.h"
#include "tests/support/MemoryLog.h"

namespace {

std::string bytesOf(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

// The fields of a fragment id, unescaped; false when it is not seven
// '&'-ended fields or ends inside an escape.
bool fragmentFields(const std::string& id, std::vector<std::string>& fields)
{
    fields.assign(1, std::string());
    for (std::size_t at = 0; at < id.size(); ++at) {
        if (id[at] == '\\') {
            if (++at == id.size()) return false;
            fields.back().push_back(id[at]);
        } else if (id[at] == '&') {
            fields.emplace_back();
        } else {
            fields.back().push_back(id[at]);
        }
    }
    const bool ended = fields.back().empty();
    fields.pop_back();
    return ended && fields.size() == 7;
}

bool isUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

} // namespace

TEST(CorrelationToken, DefaultsAndWorkedExamples)
{
    CorrelationToken token;
    EXPECT_EQ(token.magic, '!');
    EXPECT_EQ(token.version, 15);
    EXPECT_EQ(token.bitmask, 16);

    token.magic = '@';
    token.url = "x";
    token.fragmentId = "f";
    EXPECT_EQ(token.toString(), "@DxQAAXgAAWYg");

    std::string payload = bytesOf({0x0F, 0x14});
    token.appendString(payload, "x");
    token.appendString(payload, "f");
    EXPECT_EQ(payload, bytesOf({0x0F, 0x14, 0x00, 0x01, 0x78, 0x00, 0x01, 0x66}));

    token.magic = '!';
    token.correlationId = "1-2";
    EXPECT_EQ(token.toString(), "!DxYAAzEtMgABeAABZiAg");
}

TEST(CorrelationToken, WriterComputesTheBitmask)
{
    CorrelationToken token;
    token.bitmask = 0;
    token.origFragmentId = "o";
    CorrelationToken read;
    read.fromString(token.toString());
    EXPECT_EQ(read.bitmask, 0x10 | 0x08);
    EXPECT_EQ(read.origFragmentId, "o");
    EXPECT_EQ(read.fragmentId, "");  // written as the prefix 00 00
}

TEST(CorrelationToken, ReaderRoundTripsTheExamples)
{
    CorrelationToken token;
    token.fromString("!DxYAAzEtMgABeAABZiAg");
    EXPECT_EQ(token.magic, '!');
    EXPECT_EQ(token.version, 15);
    EXPECT_EQ(token.bitmask, 0x16);
    EXPECT_EQ(token.correlationId, "1-2");
    EXPECT_EQ(token.url, "x");
    EXPECT_EQ(token.origFragmentId, "");
    EXPECT_EQ(token.fragmentId, "f");
}

TEST(CorrelationToken, ReaderQuirks)
{
    // Only the magic: version and bitmask read as 0, strings unchanged.
    CorrelationToken token;
    token.url = "kept";
    token.fromString("@");
    EXPECT_EQ(token.magic, '@');
    EXPECT_EQ(token.version, 0);
    EXPECT_EQ(token.bitmask, 0);
    EXPECT_EQ(token.url, "kept");

    // '=' reads as six zero bits; no magic or bit 0x10 check.
    CorrelationToken padded;
    padded.fromString("xDwA=");  // 0F 00 00 -> version 15, bitmask 0
    EXPECT_EQ(padded.magic, 'x');
    EXPECT_EQ(padded.version, 15);
    EXPECT_EQ(padded.bitmask, 0);
    CorrelationToken twoPad;
    EXPECT_NO_THROW(twoPad.fromString("!Dw=="));
    EXPECT_EQ(twoPad.version, 15);
}

TEST(CorrelationToken, LengthPrefixThatDoesNotFitIsSkipped)
{
    // bitmask 0x14 (url), url prefix 9C 40 (40000), then 00 01 'f'.
    std::string payload = bytesOf({0x0F, 0x14, 0x9C, 0x40, 0x00, 0x01, 0x66, 0x20, 0x20});
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = "!";
    for (size_t i = 0; i < payload.size(); i += 3) {
        const uint32_t n = (static_cast<unsigned char>(payload[i]) << 16) |
                           (static_cast<unsigned char>(payload[i + 1]) << 8) |
                           static_cast<unsigned char>(payload[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) text.push_back(alphabet[(n >> shift) & 63]);
    }
    CorrelationToken token;
    token.url = "old";
    token.fromString(text);
    EXPECT_EQ(token.url, "old");
    EXPECT_EQ(token.fragmentId, "f");
}

TEST(CorrelationToken, BadTextsRaiseAndChangeNothing)
{
    for (const std::string& bad : {std::string(), std::string("!A"), std::string("!DxQA*"),
                                  std::string("!DxQ\xC3\xA9"), std::string("!DxQAA")}) {
        CorrelationToken token;
        token.url = "u";
        EXPECT_THROW(token.fromString(bad), zException) << bad;
        EXPECT_EQ(token.magic, '!');
        EXPECT_EQ(token.version, 15);
        EXPECT_EQ(token.url, "u");
    }
}

TEST(CorrelationToken, EveryStringIsCutSoTheTextStaysSmall)
{
    CorrelationToken token;
    token.correlationId.assign(40000, 'c');
    token.url.assign(40000, 'u');
    token.origFragmentId.assign(40000, 'o');
    token.fragmentId.assign(40000, '&');
    const std::string text = token.toString();
    EXPECT_EQ(CorrelationToken::MAX_TEXT_LENGTH, text.size());
    EXPECT_LE(text.size() + std::strlen("X-Kolvane-Diag-HTTP-Color: \r\n"), 1024u);
    CorrelationToken read;
    read.fromString(text);
    EXPECT_EQ(std::string(CorrelationToken::MAX_CORRELATION_ID_LENGTH, 'c'), read.correlationId);
    EXPECT_EQ(std::string(CorrelationToken::MAX_URL_LENGTH, 'u'), read.url);
    EXPECT_EQ(std::string(CorrelationToken::MAX_FRAGMENT_ID_LENGTH, 'o'), read.origFragmentId);
    EXPECT_EQ(std::string(CorrelationToken::MAX_FRAGMENT_ID_LENGTH, '&'), read.fragmentId);

    // A URL is cut between characters.
    token.url = "http://h/" + std::string(CorrelationToken::MAX_URL_LENGTH, 'x');
    token.url.replace(CorrelationToken::MAX_URL_LENGTH - 2, 3, "\xE2\x82\xAC");  // across the limit
    read.fromString(token.toString());
    EXPECT_EQ(token.url.substr(0, CorrelationToken::MAX_URL_LENGTH - 2), read.url);
}

TEST(CorrelationToken, FragmentIdIsCutOnItsFields)
{
    VornLog log;
    CorrelationToken::RequestInfo info;
    info.startMs = 1700000000123;
    info.agentId = "QuilletProbe.1700000000";
    info.method = "GET";
    for (const std::wstring& unit : {std::wstring(L"&"), std::wstring(L"x&"), std::wstring(L"\u00e9"),
                                     std::wstring(L"\u20ac\\"), std::wstring(L"\U0001F600y")}) {
        info.uri.path = L"/";
        info.uri.query = L"?";
        for (int i = 0; i < 3000; ++i) {
            info.uri.path += unit;
            info.uri.query += unit;
        }
        const std::string id = CorrelationToken::generateFragmentID(log, info);
        std::vector<std::string> fields;
        ASSERT_TRUE(fragmentFields(id, fields)) << id;
        EXPECT_LE(id.size(), CorrelationToken::MAX_FRAGMENT_ID_LENGTH);
        EXPECT_GE(id.size(), CorrelationToken::MAX_FRAGMENT_ID_LENGTH - 4);
        EXPECT_EQ((std::vector<std::string>{"1700000000123", "QuilletProbe.1700000000", "GET"}),
                  std::vector<std::string>(fields.begin(), fields.begin() + 3));
        EXPECT_EQ(0u, vorn::fromUtf(info.uri.path).find(fields[3]));
        EXPECT_EQ(0u, vorn::fromUtf(info.uri.query).find(fields[4]));
        EXPECT_GT(fields[4].size(), 30u);  // what the other fields leave: at least 70 escaped bytes here
        EXPECT_TRUE(isUtf8(fields[3]) && isUtf8(fields[4]));
        EXPECT_EQ("0", fields[5]);  // the placeholders, each a backslash and the digit zero
        EXPECT_EQ("0", fields[6]);
        // Cut again (carried on as an originating id): unchanged.
        EXPECT_EQ(id, CorrelationToken::boundFragmentId(id));
    }
    // A short id is kept whole.
    info.uri.path = L"/a&b";
    info.uri.query = L"?x=1&y=2";
    const std::string shortId = CorrelationToken::generateFragmentID(log, info);
    EXPECT_EQ("1700000000123&QuilletProbe.1700000000&GET&/a\\&b&?x=1\\&y=2&\\0&\\0&", shortId);
}

TEST(CorrelationToken, CarriedIdsOfAnyShapeAreCut)
{
    // Seven fields, each too long: each cut to its bound.
    const std::string big(5000, 'z');
    const std::string id = CorrelationToken::boundFragmentId(big + "&" + big + "&" + big + "&/" + big + "&?" + big +
                                                             "&\\0" + big + "&\\0&");
    std::vector<std::string> fields;
    ASSERT_TRUE(fragmentFields(id, fields)) << id;
    EXPECT_EQ(CorrelationToken::MAX_FRAGMENT_ID_LENGTH, id.size());
    EXPECT_EQ(CorrelationToken::MAX_START_FIELD, fields[0].size());
    EXPECT_EQ(CorrelationToken::MAX_PATH_FIELD, fields[3].size());
    // Any other shape: cut as a whole, never inside an escape.
    for (const std::string& other : {std::string(5000, '&'), "a&b&" + std::string(5000, '\\'),
                                     "1&2&3&4&5&6&7&8&" + big}) {
        const std::string cut = CorrelationToken::boundFragmentId(other);
        EXPECT_LE(cut.size(), CorrelationToken::MAX_FRAGMENT_ID_LENGTH);
        EXPECT_GE(cut.size(), CorrelationToken::MAX_FRAGMENT_ID_LENGTH - 1);
        EXPECT_EQ(0u, other.find(cut));
        std::size_t trailing = 0;
        while (trailing < cut.size() && cut[cut.size() - 1 - trailing] == '\\') ++trailing;
        EXPECT_EQ(0u, trailing % 2) << other.substr(0, 8);
    }
    // Bytes that are no UTF-8 are cut at the limit, not dropped.
    const std::string noText(5000, '\x80');
    EXPECT_EQ(CorrelationToken::MAX_FRAGMENT_ID_LENGTH, CorrelationToken::boundFragmentId(noText).size());
}

TEST(CorrelationToken, EscapeAndIdentifiers)
{
    EXPECT_EQ(CorrelationToken::escape("a&b\\c"), "a\\&b\\\\c");
    EXPECT_EQ(CorrelationToken::escape("plain"), "plain");

    VornLog log;
    CorrelationToken::RequestInfo info;
    info.startMs = 987;
    info.agentId = "p.12";
    info.method = "GET";
    info.uri.path = L"/a&b";
    info.uri.query = L"?x=1&y=2";
    EXPECT_EQ(CorrelationToken::generateFragmentID(log, info), "987&p.12&GET&/a\\&b&?x=1\\&y=2&\\0&\\0&");
    // A method the client made up cannot shift the fields after it.
    info.method = "G&T\\";
    EXPECT_EQ(CorrelationToken::generateFragmentID(log, info), "987&p.12&G\\&T\\\\&/a\\&b&?x=1\\&y=2&\\0&\\0&");

    const std::string id = CorrelationToken::generateId(log);
    const auto dash = id.find('-');
    ASSERT_NE(dash, std::string::npos);
    EXPECT_LT(std::stol(id.substr(0, dash)), 1000000);
    EXPECT_EQ(std::stol(id.substr(dash + 1)), static_cast<long>(getpid()));
}

TEST(CorrelationToken, PrintWritesOneDebugLine)
{
    CorrelationToken token;
    token.correlationId = "1-2";
    token.url = "x";
    token.fragmentId = "f";
    {
        MemoryLog mem(4);
        CorrelationToken::print(mem.log, token.toString());
        const std::string text = mem.text();
        EXPECT_NE(text.find("[DBG2] Magic: 33 , Version: 15 , Bitmask: 22 CorrelationID: 1-2 , URL: x , "
                            "OrigFragmentID:  FragmentID: f\n"),
                  std::string::npos)
            << text;
    }
    {
        MemoryLog mem(3);
        CorrelationToken::print(mem.log, token.toString());
        EXPECT_EQ(mem.text(), "");
        // The text is decoded whatever the level.
        EXPECT_THROW(CorrelationToken::print(mem.log, "!*"), zException);
    }
}
