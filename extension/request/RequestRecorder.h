#pragma once

#include <cstdint>
#include <string>

#include "common/Uri.h"
#include "common/VornLog.h"

class ZEventsReporter;

// What the server tells about a request as it opens, read by the module's
// request callback.
struct RequestOpening {
    vorn::Uri uri;              // the request's URI, its collapsed path set
    std::string method;         // the request method; empty: none given
    std::string remoteAddress;  // the client's address; may be empty
    bool correlated = false;    // the request carries the correlation header
    std::string incomingToken;  // that header's text, as it came
    uint64_t timeMicroseconds = 0;
};

// What the server tells about a request as it closes.
struct RequestClosing {
    vorn::Uri uri;
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
    // events, with the request's two locations in its table.
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
    void addLocations(ZEventsReporter& reporter, const std::string& method);
    template <typename FragmentStart>
    void fillFragmentStart(FragmentStart& event, ZEventsReporter& reporter, const RequestOpening& facts);

    VornLog& log;
    int32_t fragmentLocation = -1;
    int32_t rootLocation = -1;
    int32_t rootEventInstance = -1;
    bool remote = false;
};
