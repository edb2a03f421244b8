#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "tests/support/MemoryLog.h"
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
#include "extension/report/idl/EventDTO_types.h"

namespace {

int membersSet(const EventDTO& dto)
{
    const auto& s = dto.__isset;
    return s.httpFragmentStartEvent + s.httpFragmentEndEvent + s.fragmentAttributeEvent + s.methodStartEvent +
           s.methodEndEvent + s.invocationAttributeEvent + s.remoteMethodEndEvent + s.remoteMethodStartEvent +
           s.remoteFragmentEndEvent + s.remoteFragmentStartEvent;
}

class ConversionTest : public ::testing::Test {
protected:
    ConversionTest() : mem(4), channel(mem.log) {}

    EventDTO convert(const boost::shared_ptr<ZCaptureEvent>& event)
    {
        EventDTO dto;
        channel.toThriftEventDTO(event, dto);
        EXPECT_EQ(membersSet(dto), 1);
        return dto;
    }

    MemoryLog mem;
    ZEventsChannelThrift channel;
};

} // namespace

TEST_F(ConversionTest, EachTypeCodeFillsItsMember)
{
    EXPECT_TRUE(convert(boost::make_shared<ZHttpFragmentStartEvent>()).__isset.httpFragmentStartEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZHttpFragmentEndEvent>()).__isset.httpFragmentEndEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZMethodStartEvent>()).__isset.methodStartEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZMethodEndEvent>()).__isset.methodEndEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZFragmentAttributeEvent>()).__isset.fragmentAttributeEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZRemoteMethodEndEvent>()).__isset.remoteMethodEndEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZRemoteMethodStartEvent>()).__isset.remoteMethodStartEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZInvocationAttributeEvent>()).__isset.invocationAttributeEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZRemoteFragmentStartEvent>()).__isset.remoteFragmentStartEvent);
    EXPECT_TRUE(convert(boost::make_shared<ZRemoteFragmentEndEvent>()).__isset.remoteFragmentEndEvent);
}

TEST_F(ConversionTest, UnknownCodesAndMismatchedClassesAreRefused)
{
    auto base = boost::make_shared<ZFragmentStartEvent>();  // code -1
    auto ten = boost::make_shared<ZMethodStartEvent>();
    ten->type = 10;
    auto wrongClass = boost::make_shared<ZMethodStartEvent>();
    wrongClass->type = 9;  // would be read as a remote fragment end
    for (const boost::shared_ptr<ZCaptureEvent>& event :
         {boost::shared_ptr<ZCaptureEvent>(base), boost::shared_ptr<ZCaptureEvent>(ten),
          boost::shared_ptr<ZCaptureEvent>(wrongClass), boost::shared_ptr<ZCaptureEvent>()}) {
        EventDTO dto;
        try {
            channel.toThriftEventDTO(event, dto);
            FAIL() << "expected a refusal";
        } catch (const zException& e) {
            EXPECT_EQ(e.message, "Don't know how to convert ZCaptureEvent => EventDTO");
        }
        EXPECT_EQ(membersSet(dto), 0);
    }
}

TEST_F(ConversionTest, HttpFragmentStartCarriesOnlyTransactionTypeOfTheOptionals)
{
    auto event = boost::make_shared<ZHttpFragmentStartEvent>();
    event->locationId = 12;
    event->depth = 1;
    event->timeInMicroseconds = 1700000000123456ULL;
    event->uriToken = 1001;
    event->remoteConsumerId = "10.0.0.1";
    const auto start = convert(event).httpFragmentStartEvent.fragmentStartEvent;
    EXPECT_TRUE(start.__isset.transactionType);
    EXPECT_EQ(start.transactionType, 4);
    EXPECT_FALSE(start.__isset.txnNameToken || start.__isset.txnIdToken || start.__isset.hostNameToken ||
                 start.__isset.sessionNameToken || start.__isset.locationNameToken ||
                 start.__isset.locationIdToken);
    EXPECT_EQ(start.uriToken, 1001);
    EXPECT_EQ(start.remoteConsumerId, "10.0.0.1");
    EXPECT_EQ(start.diagArg, "DIAG_ARG:type=http");
    const auto& thread = start.fragmentEvent.threadData;
    EXPECT_FALSE(start.fragmentEvent.__isset.txnInstanceId);
    EXPECT_FALSE(thread.__isset.cpuTimeInNano);
    EXPECT_EQ(thread.captureEvent.locationId, 12);
    EXPECT_EQ(thread.threadId, static_cast<int32_t>(getpid()));
    EXPECT_EQ(thread.timeInMicroseconds, 1700000000123456LL);
}

TEST_F(ConversionTest, ExceptionTextsTravelOnlyWithTheErrorFlag)
{
    auto normal = boost::make_shared<ZMethodEndEvent>();
    normal->exception.message = "ignored";
    const auto quiet = convert(normal).methodEndEvent;
    EXPECT_EQ(quiet.flags, 0);
    EXPECT_FALSE(quiet.__isset.exceptionType || quiet.__isset.stackTrace || quiet.__isset.exceptionMessage);

    auto failed = boost::make_shared<ZRemoteMethodEndEvent>();
    failed->flags = ZMethodEndEvent::FLAG_EXCEPTION;
    failed->startEventInstanceId = 77;
    failed->exception.type = "Function failure";
    const auto loud = convert(failed).remoteMethodEndEvent.methodEndEvent;
    EXPECT_EQ(loud.flags, 33);
    EXPECT_EQ(loud.startEventInstanceId, 77);
    EXPECT_TRUE(loud.__isset.exceptionType && loud.__isset.stackTrace && loud.__isset.exceptionMessage);
    EXPECT_EQ(loud.exceptionType, "Function failure");
    EXPECT_EQ(loud.exceptionMessage, "");

    // A record converted into again holds nothing of the earlier event.
    EventDTO reused;
    auto earlier = boost::make_shared<ZMethodEndEvent>();
    earlier->flags = ZMethodEndEvent::FLAG_EXCEPTION;
    earlier->exception.message = "earlier";
    channel.toThriftEventDTO(earlier, reused);
    channel.toThriftEventDTO(normal, reused);
    EXPECT_EQ(reused.methodEndEvent.flags, 0);
    EXPECT_FALSE(reused.methodEndEvent.__isset.exceptionMessage);
    EXPECT_EQ(reused.methodEndEvent.exceptionMessage, "");
}

TEST_F(ConversionTest, AttributesAndRemoteFragments)
{
    auto attribute = boost::make_shared<ZFragmentAttributeEvent>();
    attribute->name = "HTTP_status_code";
    attribute->value = "404";
    const auto fa = convert(attribute).fragmentAttributeEvent;
    EXPECT_EQ(fa.txnInstanceId, 0);
    EXPECT_EQ(fa.name, "HTTP_status_code");
    EXPECT_EQ(fa.value, "404");

    auto invocation = boost::make_shared<ZInvocationAttributeEvent>();
    invocation->depth = 5;
    invocation->startEventInstance = 9;
    const auto ia = convert(invocation).invocationAttributeEvent;
    EXPECT_EQ(ia.depth, 5);
    EXPECT_EQ(ia.startEventInstance, 9);
    EXPECT_FALSE(ia.__isset.txnInstanceId);

    auto remoteStart = boost::make_shared<ZRemoteFragmentStartEvent>();
    remoteStart->correlationToken = "not even a token";
    EXPECT_EQ(convert(remoteStart).remoteFragmentStartEvent.correlationToken, "not even a token");

    auto remoteEnd = boost::make_shared<ZRemoteFragmentEndEvent>();
    remoteEnd->adjustedEndTime = -5;
    remoteEnd->httpStatusCode = 500;
    const auto re = convert(remoteEnd).remoteFragmentEndEvent;
    EXPECT_EQ(re.adjustedEndTime, -5);
    EXPECT_EQ(re.httpStatusCode, 500);
    EXPECT_FALSE(re.__isset.httpDescription);
}

TEST_F(ConversionTest, RemoteMethodStartTokenIsDumpedAndABadOneCostsOneLine)
{
    auto sql = boost::make_shared<ZRemoteMethodStartEvent>();
    sql->targetInfoToken = 1003;
    const auto dbCall = convert(sql).remoteMethodStartEvent;
    EXPECT_TRUE(dbCall.__isset.correlationToken);
    EXPECT_EQ(dbCall.correlationToken, "");
    EXPECT_EQ(dbCall.targetInfoToken, 1003);
    EXPECT_EQ(mem.count("converting RemoteMethodStartEvent"), 1u);
    EXPECT_EQ(mem.lines(), 1u);

    CorrelationToken token;
    token.fragmentId = "f";
    auto http = boost::make_shared<ZRemoteMethodStartEvent>();
    http->correlationToken = token.toString();
    convert(http);
    EXPECT_EQ(mem.count("CorrelationTokenOut: " + token.toString()), 1u);
    EXPECT_EQ(mem.count("Magic: 33 , Version: 15 , Bitmask: 16"), 1u);

    auto bad = boost::make_shared<ZRemoteMethodStartEvent>();
    bad->correlationToken = "!%%%";
    const size_t before = mem.lines();
    EventDTO dto;
    EXPECT_NO_THROW(channel.toThriftEventDTO(bad, dto));
    EXPECT_EQ(dto.remoteMethodStartEvent.correlationToken, "!%%%");
    EXPECT_EQ(mem.count("[WARNING]"), 1u);
    EXPECT_EQ(mem.lines(), before + 3);  // converting, CorrelationTokenOut, the warning
}

TEST(ConversionQuiet, BadTokenBelowDebugLevelLogsOnlyTheWarning)
{
    MemoryLog mem(1);
    ZEventsChannelThrift channel(mem.log);
    auto bad = boost::make_shared<ZRemoteMethodStartEvent>();
    bad->correlationToken = "!%%%";
    EventDTO dto;
    EXPECT_NO_THROW(channel.toThriftEventDTO(bad, dto));
    EXPECT_EQ(mem.lines(), 1u);
    EXPECT_EQ(mem.count("[WARNING] Cannot decode outgoing correlation token:"), 1u);
}
