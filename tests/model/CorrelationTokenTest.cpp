#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "common/VornLog.h"
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

TEST(CorrelationToken, OverlongStringIsCutSoTheTokenStaysReadable)
{
    CorrelationToken token;
    token.url.assign(40000, 'u');
    token.fragmentId = "f";
    CorrelationToken read;
    read.fromString(token.toString());
    EXPECT_EQ(read.url.size(), CorrelationToken::MAX_STRING_LENGTH);
    EXPECT_EQ(read.fragmentId, "f");
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
