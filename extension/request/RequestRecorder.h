#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "common/Uri.h"
#include "common/VornLog.h"
#include "common/VornLogLimiter.h"

class ZEventsReporter;
class ZFragmentAttributeEvent;
class ZHttpFragmentEndEvent;
class ZHttpFragmentStartEvent;
class ZMethodEndEvent;
class ZMethodStartEvent;
struct ZLocation;

// What the server tells about a request as it opens, read by the module's
// request callback.
struct RequestOpening {
    // The request's URI, its collapsed path set; read during open() only (the
    // URL manager's own, not copied). None counts as an empty URI.
    const vorn::Uri* uri = nullptr;
    std::string method;         // the request method; empty: none given
    std::string remoteAddress;  // the client's address; may be empty
    bool correlated = false;    // the request carries the correlation header
    std::string incomingToken;  // that header's text, as it came
    uint64_t timeMicroseconds = 0;
    // Monotonic time, which spaces the warnings about incoming headers (set
    // when the request is correlated).
    std::chrono::steady_clock::time_point monotonic;
};

// What the server tells about a request as it closes.
struct RequestClosing {
    const vorn::Uri* uri = nullptr;  // read during close() only, as above
    int status = 0;             // the response status; 0 or less: none set
    std::string query;          // the query string, without its "?"
    uint64_t timeMicroseconds = 0;
};

// Builds the events that frame a collected request, from plain facts and with
// no engine: the fragment start (a remote fragment when the request continues
// a caller's chain), the root method start; at the end the removal of calls
// that never ended, the root method end, the status and query attributes and
// the fragment end. The calls in between are the instrumentation's.
//
// One per worker process; it remembers the open request's locations and root
// event between open() and close().
class RequestRecorder {
public:
    explicit RequestRecorder(VornLog& log) : log(log) {}

    RequestRecorder(const RequestRecorder&) = delete;
    RequestRecorder& operator=(const RequestRecorder&) = delete;

    // Appends the fragment start and the root method start to the reporter's
    // events, with the request's two locations in its table. An incoming
    // correlation header goes into the remote fragment start only when no
    // longer than the longest token a probe writes; a longer one is left out
    // (the event's token empty, as for an empty header). Warnings about
    // headers left out or that do not decode are spaced by a VornLogLimiter:
    // the first at once, then at most one per interval and kind, telling how
    // many went unlogged.
    void open(ZEventsReporter& reporter, const RequestOpening& facts);

    // Drops the start events of calls cut short (a fatal error, a time-out:
    // they never ended and their locations never reached the table), then
    // appends the root method end, the "HTTP_status_code" and "HTTP_query"
    // attributes and the fragment end. Only after open().
    void close(ZEventsReporter& reporter, const RequestClosing& facts);

    // Sends the request's block when the reporter is handshaken (a failure is
    // logged) and finalises the request in the reporter either way.
    void deliver(ZEventsReporter& reporter);

    // The method the request is recorded with: "GET" when the server gave none.
    static std::string methodOrGet(const std::string& method);
    // The status the client receives: 200 when the script set none.
    static int32_t statusOrOk(int status);

    // The open request continues a caller's chain (remote fragment).
    bool correlated() const { return remote; }
    int32_t fragmentLocationId() const { return fragmentLocation; }
    int32_t rootLocationId() const { return rootLocation; }

private:
    // A token kept with the text it stands for while the reporter's tokens
    // stay in force: a worker's requests repeat a few paths and methods.
    template <typename Text>
    struct KeptToken {
        // The text's token: the kept one while it serves, else the
        // reporter's for the text's UTF-8 bytes (`utf8` converts).
        template <typename Convert>
        int32_t of(ZEventsReporter& reporter, const Text& wanted, Convert utf8);

        Text text;
        int32_t token = -1;
        const ZEventsReporter* owner = nullptr;
        uint64_t generation = 0;
        bool valid = false;
    };

    void addLocations(ZEventsReporter& reporter, const std::string& method);
    template <typename FragmentStart>
    void fillFragmentStart(FragmentStart& event, ZEventsReporter& reporter, const RequestOpening& facts);

    VornLog& log;
    VornLogLimiter incomingWarnings;
    int32_t fragmentLocation = -1;
    int32_t rootLocation = -1;
    int32_t rootEventInstance = -1;
    bool remote = false;
    KeptToken<std::wstring> path;
    KeptToken<std::string> method;
    // The events and locations of the common HTTP request, reused from one
    // request to the next once the reporter has let go of them (it drops
    // them when it finalizes the request), so that framing a request
    // allocates none of them.
    boost::shared_ptr<ZHttpFragmentStartEvent> httpStart;
    boost::shared_ptr<ZMethodStartEvent> rootStart;
    boost::shared_ptr<ZMethodEndEvent> rootEnd;
    boost::shared_ptr<ZFragmentAttributeEvent> statusAttribute;
    boost::shared_ptr<ZFragmentAttributeEvent> queryAttribute;
    boost::shared_ptr<ZHttpFragmentEndEvent> httpEnd;
    boost::shared_ptr<ZLocation> fragmentSite;
    boost::shared_ptr<ZLocation> rootSite;
};
