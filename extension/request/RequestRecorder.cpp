#include "extension/request/RequestRecorder.h"

#include <exception>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/report/ZEventsReporter.h"

namespace {

// Fills the request's closing event, HTTP or remote fragment alike.
template <typename FragmentEnd>
boost::shared_ptr<FragmentEnd> makeFragmentEnd(uint64_t end, int32_t uriToken, int32_t locationId, int32_t status)
{
    auto event = boost::make_shared<FragmentEnd>();
    event->depth = 1;
    event->timeInMicroseconds = end;
    event->uriToken = uriToken;
    event->locationId = locationId;
    event->httpStatusCode = status;
    return event;
}

boost::shared_ptr<ZFragmentAttributeEvent> makeAttribute(int32_t locationId, const char* name, std::string value)
{
    auto attribute = boost::make_shared<ZFragmentAttributeEvent>();
    attribute->locationId = locationId;
    attribute->name = name;
    attribute->value = std::move(value);
    return attribute;
}

} // namespace

std::string RequestRecorder::methodOrGet(const std::string& method)
{
    return method.empty() ? std::string("GET") : method;
}

int32_t RequestRecorder::statusOrOk(int status)
{
    return status > 0 ? status : 200;
}

// Builds the fragment location and the root method location of the request
// and adds both to the reporter's table. The tokens are taken in this order,
// after the collapsed path's.
void RequestRecorder::addLocations(ZEventsReporter& reporter, const std::string& method)
{
    auto fragment = boost::make_shared<ZLocation>();
    fragment->id = ZLocation::nextValue();
    fragment->calleeClassNameToken = reporter.addString("");
    fragment->calleeMethodNameToken = reporter.addString(method);
    fragment->layerToken = reporter.addString("Web Tier");
    fragment->callerClassNameId = reporter.addString("");
    fragment->callerMethodNameId = reporter.addString("");
    fragment->callerLineNumber = 0;
    fragment->layerTypeId = reporter.addString("method");

    auto root = boost::make_shared<ZLocation>(*fragment);
    root->id = ZLocation::nextValue();

    reporter.locations.add(fragment);
    reporter.locations.add(root);
    fragmentLocation = fragment->id;
    rootLocation = root->id;
}

// Fills the request's opening event, HTTP or remote fragment alike: the
// collapsed path's token first, then the request's two locations, then the
// rest; the caller appends it.
template <typename FragmentStart>
void RequestRecorder::fillFragmentStart(FragmentStart& event, ZEventsReporter& reporter, const RequestOpening& facts)
{
    event.diagArg = "DIAG_ARG:type=http";
    event.depth = 1;
    event.uriToken = reporter.addString(vorn::fromUtf(facts.uri.collapsedPath));
    addLocations(reporter, methodOrGet(facts.method));
    event.locationId = fragmentLocation;
    event.timeInMicroseconds = facts.timeMicroseconds;
    event.remoteConsumerId = facts.remoteAddress;
}

void RequestRecorder::open(ZEventsReporter& reporter, const RequestOpening& facts)
{
    remote = facts.correlated;
    if (remote) {
        // The request carries the correlation header of a caller in another
        // process or machine: it opens as a remote fragment.
        log.logDbg2("Reporting 'ZRemoteFragmentStartEvent' event. URL is:", facts.uri.path, ". collapsed path:",
                    facts.uri.collapsedPath);
        log.logDbg2("CorrelationTokenIn:", facts.incomingToken);
        try {
            CorrelationToken::print(log, facts.incomingToken);
        } catch (const std::exception& e) {
            // A token we cannot decode is still passed on as it came.
            log.logWarning("Cannot decode the incoming correlation token:", e.what());
        }
        auto event = boost::make_shared<ZRemoteFragmentStartEvent>();
        fillFragmentStart(*event, reporter, facts);
        event->correlationToken = facts.incomingToken;
        reporter.events.push_back(event);
    } else {
        log.logDbg2("Reporting 'ZHttpFragmentStartEvent' event. URL is:", facts.uri.path, ". collapsed path:",
                    facts.uri.collapsedPath);
        auto event = boost::make_shared<ZHttpFragmentStartEvent>();
        fillFragmentStart(*event, reporter, facts);
        reporter.events.push_back(event);
    }

    auto rootStart = boost::make_shared<ZMethodStartEvent>();
    rootStart->depth = 2;
    rootStart->eventInstance = ZMethodEvent::generateMethodId();
    rootEventInstance = rootStart->eventInstance;
    rootStart->locationId = rootLocation;
    rootStart->timeInMicroseconds = facts.timeMicroseconds;
    reporter.events.push_back(rootStart);
    log.logDbg2("Collected HTTP Start Event");
}

void RequestRecorder::close(ZEventsReporter& reporter, const RequestClosing& facts)
{
    log.logDbg2("Creating HTTP End Event");
    // Calls cut short (fatal error, time-out) never ended: their start events
    // must not travel without their locations.
    std::size_t dropped = InstrumentationRules::dropUnfinishedStarts(reporter.events, reporter.locations);
    if (dropped)
        log.logDbg1("Dropped start events of calls that did not end:", static_cast<uint64_t>(dropped));

    log.logDbg2("Request URL is:", facts.uri.path, ". collapsed path:", facts.uri.collapsedPath);

    const uint64_t end = facts.timeMicroseconds;
    const int32_t status = statusOrOk(facts.status);

    auto rootEnd = boost::make_shared<ZMethodEndEvent>();
    boost::shared_ptr<ZCaptureEvent> fragmentEnd;
    int32_t fragmentThreadId = 0;
    int32_t uriToken = reporter.addString(vorn::fromUtf(facts.uri.collapsedPath));
    if (remote) {
        auto e = makeFragmentEnd<ZRemoteFragmentEndEvent>(end, uriToken, fragmentLocation, status);
        e->adjustedEndTime = static_cast<int64_t>(end);
        fragmentThreadId = e->threadId;
        fragmentEnd = e;
    } else {
        auto e = makeFragmentEnd<ZHttpFragmentEndEvent>(end, uriToken, fragmentLocation, status);
        fragmentThreadId = e->threadId;
        fragmentEnd = e;
    }

    rootEnd->depth = 2;
    rootEnd->flags = 0;
    rootEnd->locationId = rootLocation;
    rootEnd->startEventInstanceId = rootEventInstance;
    rootEnd->threadId = fragmentThreadId;
    rootEnd->timeInMicroseconds = end;
    reporter.events.push_back(rootEnd);

    reporter.events.push_back(makeAttribute(fragmentLocation, "HTTP_status_code", std::to_string(status)));
    reporter.events.push_back(makeAttribute(fragmentLocation, "HTTP_query", facts.query));

    reporter.events.push_back(fragmentEnd);
    log.logDbg2("Collected HTTP End Event");
}

void RequestRecorder::deliver(ZEventsReporter& reporter)
{
    if (reporter.handshaken) {
        try {
            reporter.send();
        } catch (const zException& e) {
            log.logError("Failed to report events:", e.message);
        }
    }
    reporter.finalizeRequest();
}
