#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extension/crossvm/CorrelationToken.h"
#include "extension/crossvm/CrossVmRules.h"
#include "tests/support/MemoryLog.h"

using crossvm::isCorrelationHeaderLine;
using crossvm::isHttpUrl;

TEST(CrossVmRules, OnlyHttpAndHttpsUrlsAreRemoteCalls)
{
    for (const char* url : {"http://a/b", "https://a", "HTTP://A/", "HtTpS://x:1/y?z"})
        EXPECT_TRUE(isHttpUrl(url)) << url;
    for (const char* url : {"http_cache.json", "https_keys.txt", "http:/a", "httpx://a", "ftp://a", "/var/http://a", ""})
        EXPECT_FALSE(isHttpUrl(url)) << url;
}

TEST(CrossVmRules, CorrelationLinesAreRecognisedWhateverTheirCase)
{
    EXPECT_TRUE(isCorrelationHeaderLine("X-Kolvane-Diag-HTTP-Color: !abc"));
    EXPECT_TRUE(isCorrelationHeaderLine("x-kolvane-diag-http-color:"));
    EXPECT_TRUE(isCorrelationHeaderLine("  X-KOLVANE-DIAG-HTTP-COLOR\t: v"));
    EXPECT_FALSE(isCorrelationHeaderLine("X-Kolvane-Diag-HTTP-Colorful: v"));
    EXPECT_FALSE(isCorrelationHeaderLine("Accept: X-Kolvane-Diag-HTTP-Color: v"));
    EXPECT_FALSE(isCorrelationHeaderLine("X-Kolvane-Diag-HTTP-Color"));
}

TEST(CrossVmRules, HeaderListsGetExactlyOneCorrelationLine)
{
    const std::string ours = crossvm::headerLine("!new");
    EXPECT_EQ("X-Kolvane-Diag-HTTP-Color: !new", ours);
    EXPECT_EQ((std::vector<std::string>{"Accept: a", "", "5", ours}),
              crossvm::mergeHeaderLines({"Accept: a", "", "5"}, ours));
    // The script's own line is replaced where it stood; a second one goes.
    EXPECT_EQ((std::vector<std::string>{"A: 1", ours, "B: 2"}),
              crossvm::mergeHeaderLines({"A: 1", "x-kolvane-diag-http-color: old", "B: 2",
                                         "X-Kolvane-Diag-HTTP-Color: older"}, ours));
    EXPECT_EQ(std::vector<std::string>{ours}, crossvm::mergeHeaderLines({}, ours));
}

TEST(CrossVmRules, HeaderTextKeepsTheScriptsLinesAfterTheCorrelationLine)
{
    const std::string ours = crossvm::headerLine("!t");
    EXPECT_EQ(ours + "\r\n", crossvm::mergeHeaderText("", ours));
    EXPECT_EQ(ours + "\r\nAccept: a\r\nX-A: 1\n", crossvm::mergeHeaderText("Accept: a\r\nX-A: 1\n", ours));
    EXPECT_EQ(ours + "\r\nAccept: a\r\nB: 2", crossvm::mergeHeaderText(
                                                   "Accept: a\r\nX-KOLVANE-DIAG-HTTP-COLOR: !old\r\nB: 2", ours));
}

TEST(CrossVmRules, TargetDescriptorNamesPathAndHost)
{
    EXPECT_EQ("DIAG_ARG:type=http&name=/&target=h:8080", crossvm::targetDescriptor("http://h:8080?q=1"));
    EXPECT_EQ("DIAG_ARG:type=http&name=/&target=h", crossvm::targetDescriptor("http://h"));
    EXPECT_EQ("DIAG_ARG:type=http&name=/a/b&target=h", crossvm::targetDescriptor("https://h/a/b?x=1"));
}

TEST(CrossVmRules, LogSafeTextsStayOnOneLine)
{
    EXPECT_EQ("a\\r\\n[ERROR] b\\x00\\x1B\\t\\x7F", crossvm::logSafe(std::string("a\r\n[ERROR] b\0\x1b\t\x7f", 16)));
    EXPECT_EQ("abc...", crossvm::logSafe("abcdef", 3));
    EXPECT_EQ("caf\xc3\xa9 \\", crossvm::logSafe("caf\xc3\xa9 \\"));
}

namespace {

std::string tokenText(char magic, const std::string& url, const std::string& orig, const std::string& fragment)
{
    CorrelationToken token;
    token.magic = magic;
    token.correlationId = "1-2";
    token.url = url;
    token.origFragmentId = orig;
    token.fragmentId = fragment;
    return token.toString();
}

} // namespace

TEST(CrossVmRules, IncomingTokensAreReadStrictly)
{
    CorrelationToken token;
    std::string why;
    ASSERT_TRUE(crossvm::readIncomingToken(tokenText('@', "http://x/", "o&1", "f&2"), token, why)) << why;
    EXPECT_EQ('@', token.magic);
    EXPECT_EQ("o&1", token.origFragmentId);
    EXPECT_EQ("f&2", token.fragmentId);
    // Line breaks inside the fields travel inside the Base64 text.
    ASSERT_TRUE(crossvm::readIncomingToken(tokenText('!', "u\r\nX: y", "", "f"), token, why));
    EXPECT_EQ("u\r\nX: y", token.url);

    const std::string good = tokenText('!', "u", "", "f");
    std::vector<std::string> bad = {
        "",
        "#" + good.substr(1),                 // magic neither '!' nor '@'
        "!token",                             // a Base64 part of 5 characters
        good + ", " + good,                   // two headers joined by the server
        "!" + std::string(crossvm::MAX_INCOMING_TOKEN, 'A'),
        "!DxQ",                               // announces a URL, holds no string
        "!DxCcQAAA",                          // fragment id prefix 40000
        "!DxAAEGFi",                          // fragment id of 16 bytes, 2 there
        "!Dw",                                // no bitmask byte
    };
    for (const std::string& text : bad) {
        CorrelationToken untouched;
        untouched.fragmentId = "kept";
        EXPECT_FALSE(crossvm::readIncomingToken(text, untouched, why)) << text;
        EXPECT_FALSE(why.empty());
        EXPECT_EQ("kept", untouched.fragmentId);
    }
}

TEST(CrossVmRules, PrintedTokenFieldsCannotForgeLogLines)
{
    MemoryLog log(4);
    CorrelationToken::print(log.log, tokenText('!', "x\n[08/12/2026 - 00:00:00 p1] [ERROR] forged", "", "f\r\n"));
    EXPECT_EQ(1u, log.lines());
    EXPECT_NE(std::string::npos, log.text().find("x\\n[08/12/2026"));
}

TEST(CrossVmRules, StreamAddressesFollowedAreTcpOnly)
{
    for (const char* address : {"tcp://h:80", "h:80", "127.0.0.1:8080", "TCP://h:80"})
        EXPECT_TRUE(crossvm::isTcpAddress(address)) << address;
    for (const char* address : {"ssl://h:443", "tls://h:443", "udp://h:53", "unix:///tmp/s"})
        EXPECT_FALSE(crossvm::isTcpAddress(address)) << address;
    // A script's address of any length is read in linear time, without recursion.
    const std::string longHost(1 << 20, 'a');
    EXPECT_TRUE(crossvm::isTcpAddress(longHost + ":80"));
    EXPECT_FALSE(crossvm::isTcpAddress(longHost + "://h"));
}

TEST(CrossVmRules, RawRequestsAreRecognisedByTheirFirstLine)
{
    std::string path;
    std::size_t at = 0;
    const std::string get = "GET /index.html?x=1 HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_TRUE(crossvm::parseRawRequest(get, path, at));
    EXPECT_EQ("/index.html?x=1", path);
    EXPECT_EQ(get.find('\n') + 1, at);
    ASSERT_TRUE(crossvm::parseRawRequest("POST /p HTTP/1.0\r\n", path, at));
    EXPECT_EQ("/p", path);
    for (const char* data : {"GET /a HTTP/1.1\nHost: h\n\n", "PUT /a HTTP/1.1\r\n", "HEAD /a HTTP/1.1\r\n",
                             "GET /a HTTP/1.1\r", "GET /a HTTP/2\r\n", "body\r\n", ""})
        EXPECT_FALSE(crossvm::parseRawRequest(data, path, at)) << data;
}

TEST(CrossVmRules, WritesCountOnlyTheScriptsOwnBytes)
{
    // 20 bytes of request line, 40 of correlation line, then the rest.
    EXPECT_EQ(0u, crossvm::scriptBytesWritten(0, 20, 40));
    EXPECT_EQ(12u, crossvm::scriptBytesWritten(12, 20, 40));
    EXPECT_EQ(20u, crossvm::scriptBytesWritten(20, 20, 40));
    EXPECT_EQ(20u, crossvm::scriptBytesWritten(45, 20, 40));
    EXPECT_EQ(20u, crossvm::scriptBytesWritten(60, 20, 40));
    EXPECT_EQ(35u, crossvm::scriptBytesWritten(75, 20, 40));
}
