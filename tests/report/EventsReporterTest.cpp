#include <algorithm>
#include <chrono>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "tests/support/MemoryLog.h"
#include "common/zException.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/report/ZEventsChannelNull.h"
#include "extension/report/ZEventsChannelThrift.h"
#include "extension/report/ZEventsReporter.h"

namespace {

// Records what the reporter hands to its channel; fails on request.
class RecordingChannel : public IEventsChannel {
public:
    enum Failure { NONE, Z_EXCEPTION, STD_EXCEPTION, OTHER };

    void handshake(const HandshakeData& data) override
    {
        ++handshakes;
        lastHost = data.host;
        if (handshakeDelay.count() > 0)
            std::this_thread::sleep_for(handshakeDelay);
        fail(handshakeFailure);
    }
    void send(const ZSymbolTable& symbols, const ZLocationTable& locations,
              const std::list<boost::shared_ptr<ZCaptureEvent>>& events) override
    {
        sentSymbols.push_back(symbols);
        sentLocations.push_back(locations.locations.size());
        sentEvents.push_back(events.size());
        fail(sendFailure);
    }
    void flush() override {}

    static void fail(Failure failure)
    {
        switch (failure) {
        case Z_EXCEPTION: throw zException(L"channel failed");
        case STD_EXCEPTION: throw std::runtime_error("library failed");
        case OTHER: throw 42;
        case NONE: break;
        }
    }

    int handshakes = 0;
    std::string lastHost;
    Failure handshakeFailure = NONE;
    std::chrono::milliseconds handshakeDelay{0};
    Failure sendFailure = NONE;
    std::vector<ZSymbolTable> sentSymbols;
    std::vector<size_t> sentLocations;
    std::vector<size_t> sentEvents;
};

class ReporterTest : public ::testing::Test {
protected:
    ReporterTest()
        : mem(3), channel(boost::make_shared<RecordingChannel>()), reporter(mem.log, channel)
    {
    }

    void addEvent(int32_t locationId)
    {
        auto event = boost::make_shared<ZMethodStartEvent>();
        event->locationId = locationId;
        reporter.events.push_back(event);
    }

    MemoryLog mem;
    boost::shared_ptr<RecordingChannel> channel;
    ZEventsReporter reporter;
};

} // namespace

TEST_F(ReporterTest, InterningThroughKnownThenNewSymbols)
{
    EXPECT_EQ(reporter.addString("GET"), 1);
    EXPECT_EQ(reporter.newSymbols.size(), 12u);

    const int32_t token = reporter.addString("/checkout");
    EXPECT_GT(token, 1000);
    EXPECT_EQ(reporter.addString("/checkout"), token);
    EXPECT_EQ(reporter.newSymbols.value("/checkout"), token);

    reporter.finalizeRequest();
    EXPECT_EQ(reporter.knownSymbols.value("/checkout"), token);
    EXPECT_EQ(reporter.newSymbols.size(), 12u);
    EXPECT_EQ(reporter.addString("/checkout"), token);
    EXPECT_FALSE(reporter.newSymbols.contains("/checkout"));
}

TEST_F(ReporterTest, RemoveEventByLocationIdTakesTheOldestOnly)
{
    addEvent(5);
    addEvent(6);
    addEvent(5);
    EXPECT_TRUE(reporter.removeEventByLocationId(5));
    ASSERT_EQ(reporter.events.size(), 2u);
    EXPECT_EQ(reporter.events.front()->locationId, 6);
    EXPECT_EQ(reporter.events.back()->locationId, 5);
    EXPECT_FALSE(reporter.removeEventByLocationId(99));
    EXPECT_EQ(reporter.events.size(), 2u);
}

TEST_F(ReporterTest, SendBeforeHandshakeTouchesNothing)
{
    addEvent(1);
    try {
        reporter.send();
        FAIL() << "send must fail";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Failed to send symbol table: not connected");
    }
    EXPECT_TRUE(channel->sentSymbols.empty());
    EXPECT_EQ(reporter.channel, channel);
    EXPECT_EQ(reporter.events.size(), 1u);
}

TEST_F(ReporterTest, FirstBlockOfAConnectionCarriesEveryKnownSymbol)
{
    // An earlier request's symbol, known before this connection.
    const int32_t old = reporter.addString("old");
    reporter.finalizeRequest();

    IEventsChannel::HandshakeData data;
    reporter.handshake(data);
    EXPECT_TRUE(reporter.handshaken);
    EXPECT_EQ(channel->lastHost, "127.0.0.1");
    reporter.handshake(data);  // already done: the channel is not called
    EXPECT_EQ(channel->handshakes, 1);

    const int32_t first = reporter.addString("first");
    addEvent(1);
    reporter.send();
    reporter.finalizeRequest();
    ASSERT_EQ(channel->sentSymbols.size(), 1u);
    EXPECT_EQ(channel->sentSymbols[0].value("old"), old);
    EXPECT_EQ(channel->sentSymbols[0].value("first"), first);
    EXPECT_EQ(channel->sentSymbols[0].size(), 14u);
    EXPECT_EQ(channel->sentEvents[0], 1u);
    EXPECT_TRUE(reporter.events.empty());

    const int32_t second = reporter.addString("second");
    reporter.send();
    ASSERT_EQ(channel->sentSymbols.size(), 2u);
    EXPECT_EQ(channel->sentSymbols[1].size(), 13u);
    EXPECT_EQ(channel->sentSymbols[1].value("second"), second);
    EXPECT_FALSE(channel->sentSymbols[1].contains("old"));
    EXPECT_EQ(mem.count("[DBG1] Sending data...done"), 2u);
}

TEST_F(ReporterTest, FailedSendReplacesTheChannelAndAnnouncesAgain)
{
    reporter.handshake(IEventsChannel::HandshakeData());
    const int32_t lost = reporter.addString("lost");
    channel->sendFailure = RecordingChannel::Z_EXCEPTION;
    EXPECT_THROW(reporter.send(), zException);
    EXPECT_FALSE(reporter.handshaken);
    EXPECT_FALSE(reporter.fullTableSent);
    EXPECT_NE(reporter.channel, channel);
    EXPECT_TRUE(boost::dynamic_pointer_cast<ZEventsChannelThrift>(reporter.channel));
    reporter.finalizeRequest();
    // The failed request's symbols count as known and go out with the first
    // block of the next connection.
    EXPECT_EQ(reporter.knownSymbols.value("lost"), lost);
    EXPECT_TRUE(reporter.events.empty());
}

// Every distinct text a worker ever announced stays known for its life; a
// site whose paths are not collapsed (or whose URL table is not usable) would
// make that grow without end. Past a bound the known texts are forgotten: the
// next use of such a text announces it again under a new token.
TEST_F(ReporterTest, KnownSymbolsAreForgottenPastTheirBound)
{
    reporter.handshake(IEventsChannel::HandshakeData());
    const std::size_t textSize = 1024 * 1024;
    const std::size_t requests = ZEventsReporter::MAX_KNOWN_SYMBOL_BYTES / textSize + 2;
    std::size_t largest = 0;
    std::string reused;
    for (std::size_t i = 0; i < requests; ++i) {
        std::string text(textSize, 'p');
        text += std::to_string(i);
        if (i == 0)
            reused = text;
        reporter.addString(text);
        reporter.send();
        reporter.finalizeRequest();
        std::size_t bytes = 0;
        for (const auto& entry : reporter.knownSymbols.symbols)
            bytes += entry.first.size();
        largest = std::max(largest, bytes);
    }
    EXPECT_LE(largest, ZEventsReporter::MAX_KNOWN_SYMBOL_BYTES + textSize + 1024);
    EXPECT_FALSE(reporter.knownSymbols.contains(reused));
    // The fixed texts keep their tokens.
    EXPECT_EQ(reporter.knownSymbols.value("GET"), 1);

    const int32_t again = reporter.addString(reused);
    reporter.send();
    EXPECT_EQ(channel->sentSymbols.back().value(reused), again);
}

// Tokens may be kept across requests while the token generation stays: it
// must change whenever a token handed out stops being its text's, and only
// then (or nothing could be kept).
TEST_F(ReporterTest, TokenGenerationChangesExactlyWhenTokensGoOutOfForce)
{
    uint64_t generation = reporter.tokenGeneration();
    const int32_t kept = reporter.addString("/kept");
    reporter.finalizeRequest();
    reporter.dropNewSymbols();  // nothing new: the start of the next request
    EXPECT_EQ(reporter.tokenGeneration(), generation);
    EXPECT_EQ(reporter.addString("/kept"), kept);

    // New symbols dropped before they became known: their tokens are gone.
    reporter.addString("/dropped");
    reporter.dropNewSymbols();
    EXPECT_NE(reporter.tokenGeneration(), generation);
    EXPECT_FALSE(reporter.newSymbols.contains("/dropped"));
    generation = reporter.tokenGeneration();

    reporter.clear();
    EXPECT_NE(reporter.tokenGeneration(), generation);
    generation = reporter.tokenGeneration();

    // Known symbols forgotten past their bound.
    for (int i = 0; i < 17; ++i) {
        reporter.addString(std::string(1024 * 1024, 'f') + std::to_string(i));
        reporter.finalizeRequest();
    }
    EXPECT_NE(reporter.tokenGeneration(), generation);
}

// An aggregator that accepts the connection but does not answer makes each
// handshake last the channel's whole time limit: every collected request would
// pay it. After such a slow failure the handshake is not tried for a pause; a
// quick failure (nothing listening) is tried again at once.
TEST_F(ReporterTest, SlowFailedHandshakeIsNotRetriedDuringThePause)
{
    channel->handshakeFailure = RecordingChannel::Z_EXCEPTION;
    EXPECT_THROW(reporter.handshake(IEventsChannel::HandshakeData()), zException);
    EXPECT_THROW(reporter.handshake(IEventsChannel::HandshakeData()), zException);
    EXPECT_EQ(channel->handshakes, 2);

    reporter.handshakePause = std::chrono::milliseconds(300);
    channel->handshakeDelay = ZEventsReporter::SLOW_HANDSHAKE + std::chrono::milliseconds(20);
    EXPECT_THROW(reporter.handshake(IEventsChannel::HandshakeData()), zException);
    EXPECT_EQ(channel->handshakes, 3);
    const auto start = std::chrono::steady_clock::now();
    try {
        reporter.handshake(IEventsChannel::HandshakeData());
        FAIL() << "expected zException";
    } catch (const zException& e) {
        EXPECT_NE(e.message.find("Not tried"), std::string::npos) << e.message;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(channel->handshakes, 3);
    EXPECT_FALSE(reporter.handshaken);

    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    channel->handshakeFailure = RecordingChannel::NONE;
    channel->handshakeDelay = std::chrono::milliseconds(0);
    reporter.handshake(IEventsChannel::HandshakeData());
    EXPECT_EQ(channel->handshakes, 4);
    EXPECT_TRUE(reporter.handshaken);
}

// While the aggregator is down every request fails alike: a failure is
// logged when it starts, its repeats only with their count (here when the
// reporter goes away, or the failures end), and their end.
TEST_F(ReporterTest, RepeatedFailuresAreLoggedWhenTheyStartAndEnd)
{
    MemoryLog errors(0);
    {
        ZEventsReporter quiet(errors.log, channel);
        channel->handshakeFailure = RecordingChannel::Z_EXCEPTION;
        for (int i = 0; i < 100; ++i) {
            try {
                quiet.handshake(IEventsChannel::HandshakeData());
            } catch (const zException& e) {
                quiet.logHandshakeFailure(e.message, L"127.0.0.1", 2626);
            }
        }
        channel->handshakeFailure = RecordingChannel::NONE;
        quiet.handshake(IEventsChannel::HandshakeData());

        quiet.logSendFailure("Timed out (5 blocks not delivered)");
        quiet.logSendFailure("Timed out (7 blocks not delivered)");
        quiet.logSendFailure("Timed out (1 blocks not delivered)");
    }
    EXPECT_EQ(1u, errors.count("[ERROR] Failed to handshake with PA! channel failed\n")) << errors.text();
    EXPECT_EQ(1u, errors.count("[ERROR] 127.0.0.1 : 2626\n"));
    EXPECT_EQ(1u, errors.count("[SYSTEM] Handshake with PA recovered after 100 failures (99 of them not logged)\n"));
    EXPECT_EQ(1u, errors.count("[ERROR] Failed to report events: Timed out (5 blocks not delivered)\n"));
    EXPECT_EQ(1u, errors.count("[ERROR] Failed to report events: (2 more like it not logged since its last line, "
                               "8 blocks not delivered in them)\n"));
    EXPECT_EQ(5u, errors.lines());
}

TEST_F(ReporterTest, OnlyZExceptionLeaves)
{
    channel->handshakeFailure = RecordingChannel::STD_EXCEPTION;
    try {
        reporter.handshake(IEventsChannel::HandshakeData());
        FAIL();
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "library failed");
    }
    channel->handshakeFailure = RecordingChannel::OTHER;
    EXPECT_THROW(reporter.handshake(IEventsChannel::HandshakeData()), zException);
    EXPECT_FALSE(reporter.handshaken);
    EXPECT_EQ(reporter.channel, channel);  // a failed handshake keeps the channel
    channel->handshakeFailure = RecordingChannel::NONE;
    reporter.handshake(IEventsChannel::HandshakeData());
    EXPECT_EQ(channel->handshakes, 3);

    channel->sendFailure = RecordingChannel::STD_EXCEPTION;
    EXPECT_THROW(reporter.send(), zException);
    EXPECT_FALSE(reporter.handshaken);

    auto other = boost::make_shared<RecordingChannel>();
    other->sendFailure = RecordingChannel::OTHER;
    ZEventsReporter second(mem.log, other);
    second.handshake(IEventsChannel::HandshakeData());
    EXPECT_THROW(second.send(), zException);
    EXPECT_NE(second.channel, other);
}

TEST_F(ReporterTest, ClearKeepsTheConnectionState)
{
    reporter.handshake(IEventsChannel::HandshakeData());
    reporter.addString("x");
    reporter.finalizeRequest();
    addEvent(3);
    reporter.clear();
    EXPECT_TRUE(reporter.events.empty());
    EXPECT_EQ(reporter.knownSymbols.size(), 12u);
    EXPECT_TRUE(reporter.handshaken);
    EXPECT_EQ(reporter.channel, channel);
}

TEST(ReporterChannelChoice, NullChannelOnlyLogs)
{
    MemoryLog mem(3);
    QuilletGlobals globals;
    globals.use_event_channel_null = true;
    ZEventsReporter reporter(mem.log, globals);
    ASSERT_TRUE(boost::dynamic_pointer_cast<ZEventsChannelNull>(reporter.channel));
    for (int request = 0; request < 2; ++request) {
        reporter.handshake(IEventsChannel::HandshakeData());
        reporter.send();
        reporter.finalizeRequest();
    }
    EXPECT_EQ(mem.count("ZEventsChannelNull::handshake() called"), 1u);
    EXPECT_EQ(mem.count("ZEventsChannelNull::send() called"), 2u);

    MemoryLog quiet(2);
    ZEventsChannelNull channel(quiet.log);
    channel.handshake(IEventsChannel::HandshakeData());
    channel.send(ZSymbolTable(), ZLocationTable(), {});
    channel.flush();
    EXPECT_EQ(quiet.text(), "");

    QuilletGlobals thrift;
    ZEventsReporter real(mem.log, thrift);
    EXPECT_TRUE(boost::dynamic_pointer_cast<ZEventsChannelThrift>(real.channel));

    IEventsChannel::HandshakeData fresh;
    EXPECT_EQ(fresh.host, "127.0.0.1");
    EXPECT_EQ(fresh.port, 2626);
}
