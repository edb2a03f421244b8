#include <chrono>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "tests/support/MemoryLog.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/report/ZEventsChannelNull.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/request/RequestRecorder.h"

namespace {

class RequestRecorderTest : public ::testing::Test {
protected:
    RequestRecorderTest()
        : log(VornLog::LEVEL_DBG2),
          reporter(log.log, boost::make_shared<ZEventsChannelNull>(log.log)),
          recorder(log.log)
    {
    }

    static const vorn::Uri& shopItem()
    {
        static const vorn::Uri uri = [] {
            vorn::Uri made;
            made.path = L"/shop/item/42";
            made.collapsedPath = L"/shop/item/*";
            return made;
        }();
        return uri;
    }

    static RequestOpening opening(bool correlated, const std::string& token = std::string())
    {
        RequestOpening facts;
        facts.uri = &shopItem();
        facts.remoteAddress = "127.0.0.1";
        facts.correlated = correlated;
        facts.incomingToken = token;
        facts.timeMicroseconds = 1000;
        return facts;
    }

    static RequestClosing closing(int status)
    {
        RequestClosing facts;
        facts.uri = &shopItem();
        facts.status = status;
        facts.query = "a=1&b=2";
        facts.timeMicroseconds = 5000;
        return facts;
    }

    std::vector<int32_t> types() const
    {
        std::vector<int32_t> out;
        for (const auto& event : reporter.events)
            out.push_back(event->type);
        return out;
    }

    template <typename Event>
    const Event& at(std::size_t index) const
    {
        auto it = reporter.events.begin();
        std::advance(it, index);
        const auto* event = dynamic_cast<const Event*>(it->get());
        if (event == nullptr)
            throw std::runtime_error("event " + std::to_string(index) + " has another type");
        return *event;
    }

    // A call of the instrumentation inside the request: its start, and its
    // end unless it was cut short; its location reaches the table only when
    // it ended.
    void addCall(bool ended)
    {
        auto start = boost::make_shared<ZMethodStartEvent>();
        start->eventInstance = ZMethodEvent::generateMethodId();
        start->locationId = ZLocation::nextValue();
        reporter.events.push_back(start);
        if (!ended)
            return;
        auto location = boost::make_shared<ZLocation>();
        location->id = start->locationId;
        reporter.locations.add(location);
        auto end = boost::make_shared<ZMethodEndEvent>();
        end->locationId = start->locationId;
        end->startEventInstanceId = start->eventInstance;
        reporter.events.push_back(end);
    }

    MemoryLog log;
    ZEventsReporter reporter;
    RequestRecorder recorder;
};

TEST_F(RequestRecorderTest, PlainRequestIsFramedByFragmentAndRootMethod)
{
    recorder.open(reporter, opening(false));
    const int32_t pathToken = reporter.newSymbols.value("/shop/item/*");
    ASSERT_GE(pathToken, 0);
    ASSERT_EQ(2u, reporter.locations.locations.size());
    // No method given: the request is recorded as a GET.
    EXPECT_EQ(reporter.newSymbols.value("GET"),
              reporter.locations.locations.at(recorder.fragmentLocationId())->calleeMethodNameToken);

    addCall(true);
    recorder.close(reporter, closing(0));

    EXPECT_EQ((std::vector<int32_t>{HTTP_FRAGMENT_START, METHOD_START, METHOD_START, METHOD_END, METHOD_END,
                                    FRAGMENT_ATTRIBUTE, FRAGMENT_ATTRIBUTE, HTTP_FRAGMENT_END}),
              types());
    const auto& start = at<ZHttpFragmentStartEvent>(0);
    const auto& rootStart = at<ZMethodStartEvent>(1);
    const auto& rootEnd = at<ZMethodEndEvent>(4);
    const auto& status = at<ZFragmentAttributeEvent>(5);
    const auto& query = at<ZFragmentAttributeEvent>(6);
    const auto& end = at<ZHttpFragmentEndEvent>(7);

    EXPECT_EQ(recorder.fragmentLocationId(), start.locationId);
    EXPECT_EQ(pathToken, start.uriToken);
    EXPECT_EQ("127.0.0.1", start.remoteConsumerId);
    EXPECT_EQ(1000u, start.timeInMicroseconds);
    EXPECT_EQ(1, start.depth);
    EXPECT_EQ(recorder.rootLocationId(), rootStart.locationId);
    EXPECT_EQ(2, rootStart.depth);
    EXPECT_EQ(rootStart.eventInstance, rootEnd.startEventInstanceId);
    EXPECT_EQ(recorder.rootLocationId(), rootEnd.locationId);
    EXPECT_EQ(5000u, rootEnd.timeInMicroseconds);
    EXPECT_EQ(end.threadId, rootEnd.threadId);
    EXPECT_EQ("HTTP_status_code", status.name);
    EXPECT_EQ("200", status.value);  // no status set: the client gets 200
    EXPECT_EQ("HTTP_query", query.name);
    EXPECT_EQ("a=1&b=2", query.value);
    EXPECT_EQ(recorder.fragmentLocationId(), query.locationId);
    EXPECT_EQ(pathToken, end.uriToken);
    EXPECT_EQ(200, end.httpStatusCode);
    EXPECT_EQ(recorder.fragmentLocationId(), end.locationId);
    EXPECT_EQ(1u, log.count("Collected HTTP Start Event"));
    EXPECT_EQ(1u, log.count("Collected HTTP End Event"));

    // Nothing handshaken: nothing sent, the request is finalised all the same.
    recorder.deliver(reporter);
    EXPECT_TRUE(reporter.events.empty());
    EXPECT_TRUE(reporter.knownSymbols.contains("/shop/item/*"));
}

TEST_F(RequestRecorderTest, CorrelatedRequestIsARemoteFragment)
{
    RequestOpening facts = opening(true, "not a token");
    facts.method = "PROPFIND";
    recorder.open(reporter, facts);
    EXPECT_TRUE(recorder.correlated());
    recorder.close(reporter, closing(404));

    EXPECT_EQ((std::vector<int32_t>{REMOTE_FRAGMENT_START, METHOD_START, METHOD_END, FRAGMENT_ATTRIBUTE,
                                    FRAGMENT_ATTRIBUTE, REMOTE_FRAGMENT_END}),
              types());
    // A token that cannot be decoded travels on as it came.
    EXPECT_EQ("not a token", at<ZRemoteFragmentStartEvent>(0).correlationToken);
    EXPECT_EQ(1u, log.count("Cannot decode the incoming correlation token:"));
    // Tokens in the order the peer learns them: the collapsed path, then the
    // locations' texts.
    const int32_t methodToken = reporter.newSymbols.value("PROPFIND");
    EXPECT_LT(reporter.newSymbols.value("/shop/item/*"), methodToken);
    EXPECT_EQ(methodToken, reporter.locations.locations.at(recorder.rootLocationId())->calleeMethodNameToken);
    EXPECT_EQ("404", at<ZFragmentAttributeEvent>(3).value);
    const auto& end = at<ZRemoteFragmentEndEvent>(5);
    EXPECT_EQ(404, end.httpStatusCode);
    EXPECT_EQ(5000, end.adjustedEndTime);
    EXPECT_EQ(recorder.fragmentLocationId(), end.locationId);

    // The next request without the header is a plain one again.
    recorder.deliver(reporter);
    recorder.open(reporter, opening(false));
    EXPECT_FALSE(recorder.correlated());
    EXPECT_EQ(HTTP_FRAGMENT_START, reporter.events.front()->type);
}

// The header is the client's: it goes into the event only when it could be
// a token a probe wrote, and the warnings it causes are spaced.
TEST_F(RequestRecorderTest, IncomingHeaderIsBoundedAndItsWarningsSpaced)
{
    CorrelationToken longest;
    longest.correlationId.assign(100, 'c');
    longest.url.assign(1000, 'u');
    longest.origFragmentId.assign(1000, 'o');
    longest.fragmentId.assign(1000, 'f');
    const std::string fits = longest.toString();
    ASSERT_EQ(CorrelationToken::MAX_TEXT_LENGTH, fits.size());

    const auto t0 = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    const auto forwarded = [&](const std::string& header, int second) {
        RequestOpening facts = opening(true, header);
        facts.monotonic = t0 + std::chrono::seconds(second);
        recorder.open(reporter, facts);
        const std::string token = at<ZRemoteFragmentStartEvent>(0).correlationToken;
        recorder.close(reporter, closing(200));
        recorder.deliver(reporter);
        return token;
    };
    EXPECT_EQ(fits, forwarded(fits, 0));
    EXPECT_TRUE(forwarded(fits + "A", 0).empty());
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(forwarded(std::string(7000, '#'), i).empty());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ("!b*d", forwarded("!b*d", 2));
    EXPECT_EQ(1u, log.count("[WARNING] Cannot decode the incoming correlation token:"));
    EXPECT_EQ(1u, log.count("[WARNING] Incoming correlation header left out of the request's event: 986 bytes"));
    EXPECT_TRUE(forwarded(fits + "A", 10).empty());
    EXPECT_EQ(2u, log.count("[WARNING] Incoming correlation header left out"));
    EXPECT_EQ(1u, log.count("(5 more like it not logged since its last line)"));
}

TEST_F(RequestRecorderTest, CallsThatNeverEndedAreDroppedAtClose)
{
    recorder.open(reporter, opening(false));
    addCall(true);
    addCall(false);  // cut short: no end, no location
    addCall(false);
    recorder.close(reporter, closing(500));

    EXPECT_EQ((std::vector<int32_t>{HTTP_FRAGMENT_START, METHOD_START, METHOD_START, METHOD_END, METHOD_END,
                                    FRAGMENT_ATTRIBUTE, FRAGMENT_ATTRIBUTE, HTTP_FRAGMENT_END}),
              types());
    // The root start stays: its end came at close and its location is carried.
    EXPECT_EQ(recorder.rootLocationId(), at<ZMethodStartEvent>(1).locationId);
    EXPECT_EQ(1u, log.count("Dropped start events of calls that did not end: 2"));
}

// The path's and method's tokens are kept from one request to the next only
// while the reporter's tokens stay in force; the events and locations of a
// request are reused only once nobody holds them.
TEST_F(RequestRecorderTest, KeptTokensAndEventsFollowTheReporter)
{
    recorder.open(reporter, opening(false));
    recorder.close(reporter, closing(200));
    const boost::shared_ptr<ZCaptureEvent> held = reporter.events.front();
    // The block is thrown away: its new tokens were never announced.
    reporter.dropNewSymbols();
    reporter.events.clear();
    reporter.locations.locations.clear();

    RequestOpening again = opening(false);
    again.method = "PROPFIND";
    again.timeMicroseconds = 7000;
    recorder.open(reporter, again);
    const int32_t pathToken = reporter.newSymbols.value("/shop/item/*");
    ASSERT_GE(pathToken, 0);
    EXPECT_EQ(pathToken, at<ZHttpFragmentStartEvent>(0).uriToken);
    EXPECT_EQ(reporter.newSymbols.value("PROPFIND"),
              reporter.locations.locations.at(recorder.fragmentLocationId())->calleeMethodNameToken);
    EXPECT_NE(held.get(), reporter.events.front().get());
    EXPECT_EQ(1000u, static_cast<const ZHttpFragmentStartEvent&>(*held).timeInMicroseconds);

    // Finalized, the tokens become known and serve the next request as they are.
    recorder.close(reporter, closing(200));
    recorder.deliver(reporter);
    recorder.open(reporter, opening(false));
    EXPECT_EQ(pathToken, at<ZHttpFragmentStartEvent>(0).uriToken);
    EXPECT_EQ(12u, reporter.newSymbols.size());
    EXPECT_EQ(reporter.knownSymbols.value("GET"),
              reporter.locations.locations.at(recorder.rootLocationId())->calleeMethodNameToken);
}

} // namespace
