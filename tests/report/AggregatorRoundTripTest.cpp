// The probe against the stand-in aggregator over loopback TCP. The stand-in
// decodes with Python code generated from the same interface files by a
// different code generator, so these tests also cross-check the encoding.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "AggregatorProcess.h"
#include "tests/support/MemoryLog.h"
#include "SampleHandshake.h"
#include "common/zException.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZInvocationAttributeEvent.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/report/ZEventsChannelThrift.h"
#include "extension/report/ZEventsReporter.h"

namespace {

using Json = AggregatorProcess::Json;

std::vector<const cJSON*> withRecord(const std::vector<Json>& records, const std::string& name)
{
    std::vector<const cJSON*> out;
    for (const auto& record : records) {
        if (jsonString(record.get(), "record") == name) out.push_back(record.get());
    }
    return out;
}

const cJSON* symbolNamed(const std::vector<const cJSON*>& symbols, const std::string& value)
{
    for (const cJSON* symbol : symbols) {
        if (jsonString(symbol, "value") == value) return symbol;
    }
    return nullptr;
}

// A request as the extension builds it: the fragment and its root method.
void queueRequest(ZEventsReporter& reporter, const std::string& path)
{
    auto location = boost::make_shared<ZLocation>();
    location->id = ZLocation::nextValue();
    location->calleeClassNameToken = reporter.addString("");
    location->calleeMethodNameToken = reporter.addString("GET");
    location->layerToken = reporter.addString("Web Tier");
    location->callerClassNameId = 0;
    location->callerMethodNameId = 0;
    location->callerLineNumber = 0;
    location->layerTypeId = reporter.addString("method");
    reporter.locations.add(location);

    auto start = boost::make_shared<ZHttpFragmentStartEvent>();
    start->locationId = location->id;
    start->timeInMicroseconds = 1700000000000001ULL;
    start->uriToken = reporter.addString(path);
    start->remoteConsumerId = "192.0.2.7";
    reporter.events.push_back(start);

    auto end = boost::make_shared<ZHttpFragmentEndEvent>();
    end->locationId = location->id;
    end->httpStatusCode = 404;
    end->uriToken = start->uriToken;
    reporter.events.push_back(end);
}

} // namespace

TEST(AggregatorRoundTrip, HandshakeBlocksAndEveryEventKind)
{
    AggregatorProcess aggregator;
    MemoryLog mem(0);
    ZEventsReporter reporter(mem.log, QuilletGlobals());
    reporter.handshake(handshakeData(aggregator.port()));

    const int32_t known = reporter.addString("known before");
    reporter.finalizeRequest();

    queueRequest(reporter, "/caf\xC3\xA9");
    auto methodStart = boost::make_shared<ZMethodStartEvent>();
    methodStart->eventInstance = 41;
    methodStart->depth = 3;
    reporter.events.push_back(methodStart);
    auto methodEnd = boost::make_shared<ZMethodEndEvent>();
    methodEnd->startEventInstanceId = 41;
    methodEnd->flags = ZMethodEndEvent::FLAG_EXCEPTION;
    methodEnd->exception.type = "RuntimeException";
    methodEnd->exception.message = "boom";
    methodEnd->exception.trace = "#0 {main}\r\n\t";
    reporter.events.push_back(methodEnd);
    auto attribute = boost::make_shared<ZFragmentAttributeEvent>();
    attribute->name = "HTTP_query";
    attribute->value = "";
    reporter.events.push_back(attribute);
    auto remoteStart = boost::make_shared<ZRemoteMethodStartEvent>();
    CorrelationToken token;
    token.fragmentId = "f";
    remoteStart->correlationToken = token.toString();
    remoteStart->methodArgToken = reporter.addString("SELECT ?");
    reporter.events.push_back(remoteStart);
    auto remoteEnd = boost::make_shared<ZRemoteMethodEndEvent>();
    reporter.events.push_back(remoteEnd);
    auto invocation = boost::make_shared<ZInvocationAttributeEvent>();
    invocation->attributeName = "1";
    invocation->attributeValue = "42";
    invocation->depth = 4;
    reporter.events.push_back(invocation);
    auto remoteFragmentStart = boost::make_shared<ZRemoteFragmentStartEvent>();
    remoteFragmentStart->correlationToken = "@incoming";
    reporter.events.push_back(remoteFragmentStart);
    auto remoteFragmentEnd = boost::make_shared<ZRemoteFragmentEndEvent>();
    remoteFragmentEnd->adjustedEndTime = 1700000000999999LL;
    reporter.events.push_back(remoteFragmentEnd);

    reporter.send();
    reporter.finalizeRequest();

    std::vector<Json> first = aggregator.until("blockEnd");
    ASSERT_FALSE(first.empty()) << "no block decoded";
    EXPECT_TRUE(withRecord(first, "error").empty());

    const auto ident = withRecord(first, "ThriftProtocolIdentificationDTO");
    ASSERT_EQ(ident.size(), 1u);
    EXPECT_EQ(jsonNumber(ident[0], "protocolVersion"), 1);
    const std::string handshakeId = jsonString(ident[0], "handshakeId");
    const std::string suffix = ".common.io.mediator.EventChannel.Outgoing\n";
    ASSERT_GT(handshakeId.size(), suffix.size());
    EXPECT_EQ(handshakeId.substr(handshakeId.size() - suffix.size()), suffix);

    const auto meta = withRecord(first, "ThriftProbeMetaDataDTO");
    ASSERT_EQ(meta.size(), 1u);
    EXPECT_EQ(jsonString(meta[0], "probeName"), "probe");
    EXPECT_EQ(jsonString(meta[0], "probeOID"), "probe.1700000000");
    EXPECT_EQ(jsonString(meta[0], "hostname"), "web1.example.com");
    EXPECT_EQ(jsonNumber(meta[0], "probeType"), 2);
    EXPECT_EQ(jsonString(meta[0], "versionInfo"), "mediator_ping");
    EXPECT_EQ(jsonString(meta[0], "probeGroup"), "Default");
    EXPECT_FALSE(jsonHas(meta[0], "runId"));

    const auto symbols = withRecord(first, "SymbolDTO");
    EXPECT_EQ(symbols.size(), 12u + 3u);  // fixed, the earlier one, the path, the SQL
    ASSERT_TRUE(symbolNamed(symbols, "known before"));
    EXPECT_EQ(jsonNumber(symbolNamed(symbols, "known before"), "token"), known);
    ASSERT_TRUE(symbolNamed(symbols, "/caf\xC3\xA9"));
    ASSERT_TRUE(symbolNamed(symbols, "CrossVM"));
    EXPECT_EQ(jsonNumber(symbolNamed(symbols, "CrossVM"), "token"), 11);

    const auto locations = withRecord(first, "LocationDTO");
    ASSERT_EQ(locations.size(), 1u);
    EXPECT_EQ(jsonNumber(locations[0], "calleeMethodNameToken"), 1);
    EXPECT_EQ(jsonNumber(locations[0], "layerToken"), 3);
    EXPECT_EQ(jsonNumber(locations[0], "layerTypeId"), 8);
    EXPECT_EQ(jsonNumber(locations[0], "callerLineNumber"), 0);

    const auto events = withRecord(first, "EventDTO");
    ASSERT_EQ(events.size(), 10u);
    const cJSON* fragment = jsonObject(jsonObject(events[0], "httpFragmentStartEvent"), "fragmentStartEvent");
    ASSERT_TRUE(fragment);
    EXPECT_EQ(jsonNumber(fragment, "transactionType"), 4);
    EXPECT_FALSE(jsonHas(fragment, "txnNameToken"));
    EXPECT_EQ(jsonString(fragment, "diagArg"), "DIAG_ARG:type=http");
    EXPECT_EQ(jsonString(fragment, "remoteConsumerId"), "192.0.2.7");
    EXPECT_EQ(jsonNumber(fragment, "uriToken"), jsonNumber(symbolNamed(symbols, "/caf\xC3\xA9"), "token"));
    const cJSON* thread = jsonObject(jsonObject(fragment, "fragmentEvent"), "threadData");
    EXPECT_EQ(jsonNumber(thread, "timeInMicroseconds"), 1700000000000001LL);
    EXPECT_EQ(jsonNumber(thread, "threadId"), static_cast<long long>(getpid()));

    EXPECT_EQ(jsonNumber(jsonObject(events[1], "httpFragmentEndEvent"), "httpStatusCode"), 404);
    EXPECT_EQ(jsonNumber(jsonObject(events[2], "methodStartEvent"), "eventInstance"), 41);
    const cJSON* end = jsonObject(events[3], "methodEndEvent");
    EXPECT_EQ(jsonNumber(end, "flags"), 33);
    EXPECT_EQ(jsonString(end, "exceptionType"), "RuntimeException");
    EXPECT_EQ(jsonString(end, "exceptionMessage"), "boom");
    EXPECT_EQ(jsonString(end, "stackTrace"), "#0 {main}\r\n\t");
    EXPECT_EQ(jsonNumber(jsonObject(events[4], "fragmentAttributeEvent"), "txnInstanceId"), 0);
    const cJSON* remote = jsonObject(events[5], "remoteMethodStartEvent");
    EXPECT_EQ(jsonString(remote, "correlationToken"), token.toString());
    EXPECT_EQ(jsonNumber(jsonObject(remote, "methodStartEvent"), "methodArgToken"),
              jsonNumber(symbolNamed(symbols, "SELECT ?"), "token"));
    const cJSON* remoteEndJson = jsonObject(jsonObject(events[6], "remoteMethodEndEvent"), "methodEndEvent");
    EXPECT_EQ(jsonNumber(remoteEndJson, "flags"), 0);
    EXPECT_FALSE(jsonHas(remoteEndJson, "exceptionMessage"));
    EXPECT_EQ(jsonNumber(jsonObject(events[7], "invocationAttributeEvent"), "depth"), 4);
    EXPECT_EQ(jsonString(jsonObject(events[8], "remoteFragmentStartEvent"), "correlationToken"), "@incoming");
    EXPECT_EQ(jsonNumber(jsonObject(events[9], "remoteFragmentEndEvent"), "adjustedEndTime"),
              1700000000999999LL);

    // The next block carries the fixed symbols and the request's new ones only.
    queueRequest(reporter, "/second");
    reporter.send();
    reporter.finalizeRequest();
    std::vector<Json> second = aggregator.until("blockEnd");
    ASSERT_FALSE(second.empty());
    const auto secondSymbols = withRecord(second, "SymbolDTO");
    EXPECT_EQ(secondSymbols.size(), 13u);
    EXPECT_TRUE(symbolNamed(secondSymbols, "/second"));
    EXPECT_FALSE(symbolNamed(secondSymbols, "known before"));
    const auto frames = withRecord(second, "frame");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(jsonNumber(frames[0], "block"), 2);
}

TEST(AggregatorRoundTrip, AggregatorGoneThenBackAnnouncesEverySymbolAgain)
{
    MemoryLog mem(0);
    ZEventsReporter reporter(mem.log, QuilletGlobals());
    std::string firstPath = "/first";
    {
        AggregatorProcess aggregator;
        reporter.handshake(handshakeData(aggregator.port()));
        queueRequest(reporter, firstPath);
        reporter.send();
        reporter.finalizeRequest();
        ASSERT_FALSE(aggregator.until("blockEnd").empty());
        aggregator.stop();
    }
    // The sender notices the close on its own, without a block to write.
    const auto* channel = dynamic_cast<const ZEventsChannelThrift*>(reporter.channel.get());
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(channel->blockSender()->failedWithin(std::chrono::seconds(5)));

    // Between two blocks the aggregator went away: this block fails at once.
    queueRequest(reporter, "/during outage");
    EXPECT_THROW(reporter.send(), zException);
    EXPECT_FALSE(reporter.handshaken);
    reporter.finalizeRequest();

    // While nothing listens, handshakes fail and the reporter stays unconnected.
    const int port = [] {
        AggregatorProcess probe;
        return probe.port();
    }();
    EXPECT_THROW(reporter.handshake(handshakeData(port)), zException);
    EXPECT_FALSE(reporter.handshaken);

    AggregatorProcess back;
    reporter.handshake(handshakeData(back.port()));
    queueRequest(reporter, "/after");
    reporter.send();
    reporter.finalizeRequest();
    std::vector<Json> records = back.until("blockEnd");
    ASSERT_FALSE(records.empty());
    const auto symbols = withRecord(records, "SymbolDTO");
    EXPECT_TRUE(symbolNamed(symbols, "/first"));
    EXPECT_TRUE(symbolNamed(symbols, "/during outage"));
    EXPECT_TRUE(symbolNamed(symbols, "/after"));
    EXPECT_EQ(withRecord(records, "ThriftProtocolIdentificationDTO").size(), 1u);
}
