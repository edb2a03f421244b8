#include "extension/request/RequestRecorder.h"

#include <exception>
#include <string>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/crossvm/CrossVmRules.h"
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

// The recorder's own object of a kind, as a new one would be: reused once
// nobody else holds it (the reporter lets go of a request's events and
// locations when it finalizes the request), otherwise made anew.
template <typename T>
T& reuse(boost::shared_ptr<T>& kept)
{
    if (kept && kept.use_count() == 1)
        *kept = T();
    else
        kept = boost::make_shared<T>();
    return *kept;
}

// Fills the request's closing event, HTTP or remote fragment alike.
template <typename FragmentEnd>
void fillFragmentEnd(FragmentEnd& event, uint64_t end, int32_t uriToken, int32_t locationId, int32_t status)
{
    event.depth = 1;
    event.timeInMicroseconds = end;
    event.uriToken = uriToken;
    event.locationId = locationId;
    event.httpStatusCode = status;
}

void fillAttribute(ZFragmentAttributeEvent& attribute, int32_t locationId, const char* name, const std::string& value)
{
    attribute.locationId = locationId;
    attribute.name = name;
    attribute.value = value;
}

std::string utf8Of(const std::wstring& text)
{
    return vorn::fromUtf(text);
}

const vorn::Uri& uriOf(const vorn::Uri* uri)
{
    static const vorn::Uri none;
    return uri != nullptr ? *uri : none;
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

// A token handed out by the reporter stays the token of its text while the
// reporter's token generation stays the same: the path and the method are
// converted and looked up only when they change or the tokens went out of
// force.
template <typename Text>
template <typename Convert>
int32_t RequestRecorder::KeptToken<Text>::of(ZEventsReporter& reporter, const Text& wanted, Convert utf8)
{
    if (!valid || owner != &reporter || generation != reporter.tokenGeneration() || text != wanted) {
        valid = false;
        token = reporter.addString(utf8(wanted));
        text = wanted;
        owner = &reporter;
        generation = reporter.tokenGeneration();
        valid = true;
    }
    return token;
}

// Builds the fragment location and the root method location of the request
// and adds both to the reporter's table. The tokens are taken in this order,
// after the collapsed path's; all but the method's are fixed entries.
void RequestRecorder::addLocations(ZEventsReporter& reporter, const std::string& requestMethod)
{
    ZLocation& fragment = reuse(fragmentSite);
    fragment.id = ZLocation::nextValue();
    fragment.calleeClassNameToken = ZSymbolTable::EMPTY_TOKEN;
    fragment.calleeMethodNameToken =
        method.of(reporter, requestMethod, [](const std::string& text) -> const std::string& { return text; });
    fragment.layerToken = ZSymbolTable::WEB_TIER_TOKEN;
    fragment.callerClassNameId = ZSymbolTable::EMPTY_TOKEN;
    fragment.callerMethodNameId = ZSymbolTable::EMPTY_TOKEN;
    fragment.callerLineNumber = 0;
    fragment.layerTypeId = ZSymbolTable::METHOD_LAYER_TOKEN;

    ZLocation& root = reuse(rootSite);
    root = fragment;
    root.id = ZLocation::nextValue();

    reporter.locations.add(fragmentSite);
    reporter.locations.add(rootSite);
    fragmentLocation = fragment.id;
    rootLocation = root.id;
}

// Fills the request's opening event, HTTP or remote fragment alike: the
// collapsed path's token first, then the request's two locations, then the
// rest; the caller appends it.
template <typename FragmentStart>
void RequestRecorder::fillFragmentStart(FragmentStart& event, ZEventsReporter& reporter, const RequestOpening& facts)
{
    event.diagArg = "DIAG_ARG:type=http";
    event.depth = 1;
    event.uriToken = path.of(reporter, uriOf(facts.uri).collapsedPath, utf8Of);
    addLocations(reporter, methodOrGet(facts.method));
    event.locationId = fragmentLocation;
    event.timeInMicroseconds = facts.timeMicroseconds;
    event.remoteConsumerId = facts.remoteAddress;
}

void RequestRecorder::open(ZEventsReporter& reporter, const RequestOpening& facts)
{
    const vorn::Uri& uri = uriOf(facts.uri);
    remote = facts.correlated;
    if (remote) {
        // The request carries the correlation header of a caller in another
        // process or machine: it opens as a remote fragment.
        if (log.enabled(VornLog::LEVEL_DBG2)) {
            log.logDbg2("Reporting 'ZRemoteFragmentStartEvent' event. URL is:", VornLog::untrusted(uri.path),
                        ". collapsed path:", VornLog::untrusted(uri.collapsedPath));
            // The raw header comes from outside: written so that it cannot break the line.
            log.logDbg2("CorrelationTokenIn:", crossvm::logSafe(facts.incomingToken));
        }
        // Past the longest token a probe writes, the header is no token of
        // ours: left out, not decoded.
        const bool forwarded = facts.incomingToken.size() <= CorrelationToken::MAX_TEXT_LENGTH;
        if (!forwarded) {
            log.logLimitedWarning(incomingWarnings, facts.monotonic,
                                  "Incoming correlation header left out of the request's event:",
                                  std::to_string(facts.incomingToken.size()) + " bytes, longer than any token ("
                                      + std::to_string(CorrelationToken::MAX_TEXT_LENGTH) + ")");
        } else {
            try {
                CorrelationToken::print(log, facts.incomingToken);
            } catch (const std::exception& e) {
                // A token we cannot decode is still passed on as it came.
                log.logLimitedWarning(incomingWarnings, facts.monotonic,
                                      "Cannot decode the incoming correlation token:", e.what());
            }
        }
        auto event = boost::make_shared<ZRemoteFragmentStartEvent>();
        fillFragmentStart(*event, reporter, facts);
        if (forwarded)
            event->correlationToken = facts.incomingToken;
        reporter.events.push_back(event);
    } else {
        log.logDbg2("Reporting 'ZHttpFragmentStartEvent' event. URL is:", VornLog::untrusted(uri.path),
                    ". collapsed path:", VornLog::untrusted(uri.collapsedPath));
        fillFragmentStart(reuse(httpStart), reporter, facts);
        reporter.events.push_back(httpStart);
    }

    ZMethodStartEvent& start = reuse(rootStart);
    start.depth = 2;
    start.eventInstance = ZMethodEvent::generateMethodId();
    rootEventInstance = start.eventInstance;
    start.locationId = rootLocation;
    start.timeInMicroseconds = facts.timeMicroseconds;
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

    const vorn::Uri& uri = uriOf(facts.uri);
    log.logDbg2("Request URL is:", VornLog::untrusted(uri.path), ". collapsed path:",
                VornLog::untrusted(uri.collapsedPath));

    const uint64_t end = facts.timeMicroseconds;
    const int32_t status = statusOrOk(facts.status);

    boost::shared_ptr<ZCaptureEvent> fragmentEnd;
    int32_t fragmentThreadId = 0;
    const int32_t uriToken = path.of(reporter, uri.collapsedPath, utf8Of);
    if (remote) {
        auto e = boost::make_shared<ZRemoteFragmentEndEvent>();
        fillFragmentEnd(*e, end, uriToken, fragmentLocation, status);
        e->adjustedEndTime = static_cast<int64_t>(end);
        fragmentThreadId = e->threadId;
        fragmentEnd = e;
    } else {
        ZHttpFragmentEndEvent& e = reuse(httpEnd);
        fillFragmentEnd(e, end, uriToken, fragmentLocation, status);
        fragmentThreadId = e.threadId;
        fragmentEnd = httpEnd;
    }

    ZMethodEndEvent& rootEndEvent = reuse(rootEnd);
    rootEndEvent.depth = 2;
    rootEndEvent.flags = 0;
    rootEndEvent.locationId = rootLocation;
    rootEndEvent.startEventInstanceId = rootEventInstance;
    rootEndEvent.threadId = fragmentThreadId;
    rootEndEvent.timeInMicroseconds = end;
    reporter.events.push_back(rootEnd);

    fillAttribute(reuse(statusAttribute), fragmentLocation, "HTTP_status_code", std::to_string(status));
    reporter.events.push_back(statusAttribute);
    fillAttribute(reuse(queryAttribute), fragmentLocation, "HTTP_query", facts.query);
    reporter.events.push_back(queryAttribute);

    reporter.events.push_back(fragmentEnd);
    log.logDbg2("Collected HTTP End Event");
}

void RequestRecorder::deliver(ZEventsReporter& reporter)
{
    if (reporter.handshaken) {
        try {
            reporter.send();
        } catch (const zException& e) {
            reporter.logSendFailure(e.message);
        }
    }
    reporter.finalizeRequest();
}
