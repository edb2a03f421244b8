#pragma once

#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "extension/model/ZCaptureEvent.h"
#include "extension/model/ZLocationTable.h"
#include "extension/model/ZSymbolTable.h"

// The events reporter's way to the probe aggregator. Every operation lets
// only zException out.
class IEventsChannel {
public:
    // Where to connect and how the probe introduces itself.
    struct HandshakeData {
        std::string host = "127.0.0.1";  // UTF-8 address or host name
        std::string probeName;
        std::string probeOID;            // component identifier
        std::string hostname;            // fully qualified machine name
        int32_t port = 2626;
        int32_t probeType = 0;           // set by the caller
    };

    virtual ~IEventsChannel();

    // Connects and introduces the probe; afterwards the channel can send.
    virtual void handshake(const HandshakeData& data) = 0;
    // Delivers one request's block: the symbols to announce, the request's
    // locations and its events in order.
    virtual void send(const ZSymbolTable& symbols, const ZLocationTable& locations,
                      const std::list<boost::shared_ptr<ZCaptureEvent>>& events) = 0;
    // Pushes out anything buffered.
    virtual void flush() = 0;
    // True when the channel holds a connection made by another process (this
    // process is a fork of that one). Such a channel is replaced, never used.
    virtual bool madeByAnotherProcess() const { return false; }
};
