#include <unistd.h>

#include <gtest/gtest.h>

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

TEST(CaptureEvent, MostDerivedClassDecidesTheTypeCode)
{
    EXPECT_EQ(ZHttpFragmentStartEvent().type, 0);
    EXPECT_EQ(ZHttpFragmentEndEvent().type, 1);
    EXPECT_EQ(ZMethodStartEvent().type, 2);
    EXPECT_EQ(ZMethodEndEvent().type, 3);
    EXPECT_EQ(ZFragmentAttributeEvent().type, 4);
    EXPECT_EQ(ZRemoteMethodEndEvent().type, 5);
    EXPECT_EQ(ZRemoteMethodStartEvent().type, 6);
    EXPECT_EQ(ZInvocationAttributeEvent().type, 7);
    EXPECT_EQ(ZRemoteFragmentStartEvent().type, 8);
    EXPECT_EQ(ZRemoteFragmentEndEvent().type, 9);
    EXPECT_EQ(ZFragmentStartEvent().type, -1);
    EXPECT_EQ(ZCaptureEvent().locationId, -1);
}

TEST(CaptureEvent, RemoteMethodDefaults)
{
    ZRemoteMethodStartEvent start;
    EXPECT_EQ(start.eventInstance, 0);
    EXPECT_EQ(start.methodArgToken, -1);
    EXPECT_EQ(start.targetInfoToken, 0);
    EXPECT_TRUE(start.correlationToken.empty());
    EXPECT_EQ(start.depth, 1);
    EXPECT_EQ(start.timeInMicroseconds, 0u);

    ZRemoteMethodEndEvent end;
    EXPECT_EQ(end.flags, 0);
    EXPECT_EQ(end.startEventInstanceId, 0);
    EXPECT_TRUE(end.exception.message.empty());
    EXPECT_TRUE(end.exception.trace.empty());
    EXPECT_TRUE(end.exception.type.empty());
}

TEST(CaptureEvent, FragmentDefaults)
{
    ZHttpFragmentStartEvent http;
    EXPECT_EQ(http.diagArg, "DIAG_ARG:type=http");
    EXPECT_EQ(http.transactionType, 4);
    EXPECT_TRUE(http.remoteConsumerId.empty());

    ZRemoteFragmentStartEvent remote;
    EXPECT_TRUE(remote.diagArg.empty());
    EXPECT_EQ(remote.uriToken, 0);
    EXPECT_TRUE(remote.correlationToken.empty());

    ZHttpFragmentEndEvent httpEnd;
    ZRemoteFragmentEndEvent remoteEnd;
    EXPECT_EQ(httpEnd.httpStatusCode, 200);
    EXPECT_EQ(httpEnd.uriToken, -1);
    EXPECT_EQ(remoteEnd.httpStatusCode, 200);
    EXPECT_EQ(remoteEnd.uriToken, -1);
    EXPECT_EQ(remoteEnd.adjustedEndTime, 0);
}

TEST(CaptureEvent, ThreadIdIsTheProcessId)
{
    const int32_t pid = static_cast<int32_t>(getpid());
    EXPECT_EQ(ZMethodStartEvent().threadId, pid);
    EXPECT_EQ(ZRemoteFragmentEndEvent().threadId, pid);
    EXPECT_EQ(ZFragmentAttributeEvent().threadId, pid);
    EXPECT_EQ(ZInvocationAttributeEvent().threadId, pid);
    ZFragmentAttributeEvent attribute;
    EXPECT_EQ(attribute.txnInstanceId, 0);
    ZInvocationAttributeEvent invocation;
    EXPECT_EQ(invocation.depth, 0);
    EXPECT_EQ(invocation.startEventInstance, 0);
}

TEST(CaptureEvent, MethodIdsIncreaseByOne)
{
    const int32_t a = ZMethodEvent::generateMethodId();
    const int32_t b = ZMethodEvent::generateMethodId();
    EXPECT_GE(a, 1);
    EXPECT_EQ(b, a + 1);
}
