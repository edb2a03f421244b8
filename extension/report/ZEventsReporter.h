#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "common/VornLog.h"
#include "common/VornLogLimiter.h"
#include "extension/config/QuilletGlobals.h"
#include "extension/model/ZCaptureEvent.h"
#include "extension/model/ZLocationTable.h"
#include "extension/model/ZSymbolTable.h"
#include "extension/report/IEventsChannel.h"

// The one object through which a worker reports to the probe aggregator. It
// owns the channel, gathers the request's events and locations, interns
// texts as symbol tokens and remembers which tokens the peer already knows.
//
// Connection states: unconnected (neither flag), handshaken, streaming (the
// first block of the connection, which carries the whole symbol table, went
// out). A failed send returns to unconnected with a fresh Thrift channel.
//
// Only zException leaves handshake() and send().
class ZEventsReporter {
public:
    // Makes a ZEventsChannelNull when globals.use_event_channel_null is set,
    // otherwise an unconnected ZEventsChannelThrift; no connection yet.
    ZEventsReporter(const VornLog& log, const QuilletGlobals& globals);
    // Uses the given channel; a null one is replaced by a Thrift channel.
    ZEventsReporter(const VornLog& log, const boost::shared_ptr<IEventsChannel>& channel);
    // Logs the failures no line named yet (see logHandshakeFailure).
    ~ZEventsReporter();

    // Bound on the texts of the known symbols: past it they are forgotten at
    // the end of a request and announced again when next used.
    // Each symbol counts its text and a share for its entry.
    static constexpr std::size_t MAX_KNOWN_SYMBOL_BYTES = 16 * 1024 * 1024;
    static constexpr std::size_t SYMBOL_ENTRY_OVERHEAD = 64;

    ZEventsReporter(const ZEventsReporter&) = delete;
    ZEventsReporter& operator=(const ZEventsReporter&) = delete;

    // Token of a UTF-8 text: the known one, else one from (or new in) the
    // request's new symbols.
    int32_t addString(const std::string& text);

    // Unlinks the oldest event carrying the location id; false when none does.
    bool removeEventByLocationId(int32_t id);

    // Lets go of a connection that another process made (this process is a
    // fork of it): the channel is replaced without writing to the shared
    // socket, and the connection state starts again from unconnected. True
    // when that happened. Handshake and send begin with it.
    bool dropInheritedConnection();

    // Handshakes the channel unless already done. The channel's zException
    // passes through; the same channel is tried again next time, or, after a
    // failure that took SLOW_HANDSHAKE or longer, only once `handshakePause`
    // has passed (until then a zException says it was not tried). The
    // success after failures logs that they ended.
    void handshake(const IEventsChannel::HandshakeData& data);

    // Sends the request's block. Raises "Failed to send symbol table: not
    // connected" before a handshake. On a failure the channel is replaced by
    // a new unconnected Thrift channel, both flags are cleared and the
    // failure is raised again. The success after failures logs that they
    // ended.
    void send();

    // Log the failure of a handshake ("Failed to handshake with PA!", its
    // text, then a line with the aggregator's address) and of a send ("Failed
    // to report events:" and its text). While the aggregator is down every
    // request fails alike: a failure is logged when it starts, a new kind at
    // once, a repeat at most once per VornLogLimiter::INTERVAL with how many
    // went unlogged since (and, for sends, the blocks they lost); the
    // success that ends them says how many there were.
    void logHandshakeFailure(const std::string& why, const std::wstring& host, int32_t port);
    void logSendFailure(const std::string& why);

    // Drops the request's events and locations; its new symbols become known.
    void finalizeRequest();

    // Drops the request's new symbols without making them known (the
    // request's block is thrown away, or was never finalized).
    void dropNewSymbols();

    // Empties everything the reporter gathered, keeping the connection state.
    void clear();

    // Changes whenever a token addString handed out may have gone out of
    // force: the known symbols forgotten or cleared, or new symbols dropped
    // before they became known. While it stays the same, every token handed
    // out is still the token of its text, across requests too, so callers
    // may keep them.
    uint64_t tokenGeneration() const { return tokenGeneration_; }

    boost::shared_ptr<IEventsChannel> channel;
    std::list<boost::shared_ptr<ZCaptureEvent>> events;
    ZSymbolTable knownSymbols;
    ZSymbolTable newSymbols;
    ZLocationTable locations;
    VornLog log;
    bool handshaken = false;
    bool fullTableSent = false;
    static constexpr std::chrono::milliseconds SLOW_HANDSHAKE{100};
    std::chrono::milliseconds handshakePause{10000};
    std::chrono::steady_clock::time_point handshakePausedUntil{};
    VornLogLimiter handshakeFailures;
    VornLogLimiter sendFailures;
    // Bytes counted for the known symbols beyond the fixed ones.
    std::size_t knownSymbolBytes = 0;

private:
    void replaceChannel();

    uint64_t tokenGeneration_;
};
