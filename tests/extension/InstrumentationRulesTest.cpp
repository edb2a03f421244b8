#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZLocationTable.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/model/ZSymbolTable.h"

using Events = std::list<boost::shared_ptr<ZCaptureEvent>>;

TEST(InstrumentationLimits, ALimitOfNLetsNPlusOneCallsThrough)
{
    int captured = 0;
    while (InstrumentationRules::withinCallLimit(captured, 3))
        ++captured;
    EXPECT_EQ(4, captured);
    EXPECT_TRUE(InstrumentationRules::withinCallLimit(0, 0));
    EXPECT_FALSE(InstrumentationRules::withinCallLimit(1, 0));
    // Compared unsigned: a negative count is never within the limit.
    EXPECT_FALSE(InstrumentationRules::withinCallLimit(-1, 5000));
}

TEST(InstrumentationLimits, DepthIsInstrumentedUpToAndIncludingTheLimit)
{
    EXPECT_TRUE(InstrumentationRules::withinDepth(3, 3));
    EXPECT_FALSE(InstrumentationRules::withinDepth(4, 3));
    EXPECT_FALSE(InstrumentationRules::withinDepth(2, 0));
    EXPECT_FALSE(InstrumentationRules::withinDepth(-1, 100));
}

TEST(InstrumentationLimits, SlowCallThreshold)
{
    EXPECT_FALSE(InstrumentationRules::isSlow(49, 50));
    EXPECT_TRUE(InstrumentationRules::isSlow(50, 50));
    // Zero captures every call, even one of no measurable length.
    EXPECT_TRUE(InstrumentationRules::isSlow(0, 0));
    // A negative threshold is never reached, however long the call.
    EXPECT_FALSE(InstrumentationRules::isSlow(0, -1));
    EXPECT_FALSE(InstrumentationRules::isSlow(1000000000ULL, -1));
    EXPECT_FALSE(InstrumentationRules::isSlow(1000000000ULL, INT32_MIN));
}

TEST(InstrumentationLimits, ExceptionLimitCountsReportedExceptions)
{
    EXPECT_TRUE(InstrumentationRules::exceptionLimitReached(0, 0));
    EXPECT_FALSE(InstrumentationRules::exceptionLimitReached(1, 2));
    EXPECT_TRUE(InstrumentationRules::exceptionLimitReached(2, 2));
    EXPECT_TRUE(InstrumentationRules::exceptionLimitReached(3, 2));
}

TEST(InstrumentationLimits, ArgumentIndexes)
{
    EXPECT_FALSE(InstrumentationRules::argumentIndexValid(-1, 3));
    EXPECT_TRUE(InstrumentationRules::argumentIndexValid(0, 3));
    EXPECT_TRUE(InstrumentationRules::argumentIndexValid(2, 3));
    EXPECT_FALSE(InstrumentationRules::argumentIndexValid(3, 3));
    EXPECT_FALSE(InstrumentationRules::argumentIndexValid(0, 0));
}

TEST(BacktraceCut, KeepsTheFirstLinesEachEndedByCrLfTab)
{
    const std::string trace = "#0 a.php(3): f()\n#1 a.php(5): g()\n#2 a.php(7): h()\n#3 a.php(9): i()\n#4 {main}";
    EXPECT_EQ("#0 a.php(3): f()\r\n\t#1 a.php(5): g()\r\n\t", InstrumentationRules::firstLines(trace, 2));
    EXPECT_EQ("#0 a.php(3): f()\r\n\t#1 a.php(5): g()\r\n\t#2 a.php(7): h()\r\n\t#3 a.php(9): i()\r\n\t#4 {main}\r\n\t",
              InstrumentationRules::firstLines(trace, 100));
    EXPECT_EQ("", InstrumentationRules::firstLines(trace, 0));
    EXPECT_EQ("", InstrumentationRules::firstLines(trace, -3));
    EXPECT_EQ("", InstrumentationRules::firstLines("", 5));
    EXPECT_EQ("#0 {main}\r\n\t", InstrumentationRules::firstLines("#0 {main}\n", 5));
    EXPECT_EQ("a\r\n\t\r\n\tb\r\n\t", InstrumentationRules::firstLines("a\n\nb", 5));
}

namespace {

boost::shared_ptr<ZMethodStartEvent> start(int32_t instance, int32_t location)
{
    auto e = boost::make_shared<ZMethodStartEvent>();
    e->eventInstance = instance;
    e->locationId = location;
    return e;
}

boost::shared_ptr<ZMethodEndEvent> end(int32_t instance, int32_t location)
{
    auto e = boost::make_shared<ZMethodEndEvent>();
    e->startEventInstanceId = instance;
    e->locationId = location;
    return e;
}

void carry(ZLocationTable& table, int32_t id)
{
    auto location = boost::make_shared<ZLocation>();
    location->id = id;
    table.add(location);
}

} // namespace

TEST(UnfinishedCalls, StartsWithoutEndOrLocationAreDroppedOthersStayInOrder)
{
    ZLocationTable carried;
    carry(carried, 2);   // the request's root method
    carry(carried, 11);  // a captured call
    carry(carried, 13);  // a captured remote call

    auto root = start(1, 2);
    auto outerCut = start(5, 10);  // never ended: the request was abandoned inside it
    auto inner = start(6, 11);
    auto innerEnd = end(6, 11);
    auto remoteCut = boost::make_shared<ZRemoteMethodStartEvent>();
    remoteCut->eventInstance = 7;
    remoteCut->locationId = 12;
    auto remote = boost::make_shared<ZRemoteMethodStartEvent>();
    remote->eventInstance = 8;
    remote->locationId = 13;
    auto remoteEnd = boost::make_shared<ZRemoteMethodEndEvent>();
    remoteEnd->startEventInstanceId = 8;
    remoteEnd->locationId = 13;
    auto attribute = boost::make_shared<ZFragmentAttributeEvent>();
    attribute->locationId = 99;

    Events events{root, outerCut, inner, innerEnd, remoteCut, remote, remoteEnd, attribute};
    EXPECT_EQ(2u, InstrumentationRules::dropUnfinishedStarts(events, carried));
    Events expected{root, inner, innerEnd, remote, remoteEnd, attribute};
    EXPECT_EQ(expected, events);

    // Nothing left to drop the second time.
    EXPECT_EQ(0u, InstrumentationRules::dropUnfinishedStarts(events, carried));
}

TEST(UnfinishedCalls, AnEndedCallStaysEvenWhenItsLocationIsMissing)
{
    ZLocationTable carried;
    Events events{start(3, 40), end(3, 40)};
    EXPECT_EQ(0u, InstrumentationRules::dropUnfinishedStarts(events, carried));
    EXPECT_EQ(2u, events.size());
}

TEST(AbandonedRequest, DropsEventsLocationsAndTheSymbolsThePeerNeverReceived)
{
    // The connection already knows one symbol; the abandoned request announced
    // another one first, and it was never sent.
    ZSymbolTable known;
    known.add("known::call", -1);
    ZSymbolTable newSymbols;
    const int32_t unsent = newSymbols.add("abandoned::call", -1);
    ZLocationTable locations;
    carry(locations, 21);
    Events events{start(9, 21), end(9, 21)};

    InstrumentationRules::dropRequest(events, locations, newSymbols);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(locations.locations.empty());
    EXPECT_FALSE(newSymbols.contains("abandoned::call"));
    EXPECT_EQ(12u, newSymbols.size());  // the fixed entries only

    // The next request that needs the text gets it announced again, under a
    // token never handed out before.
    const int32_t again = newSymbols.add("abandoned::call", -1);
    EXPECT_NE(unsent, again);
    EXPECT_FALSE(known.contains("abandoned::call"));
}
