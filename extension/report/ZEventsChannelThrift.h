#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

#include "common/VornLog.h"
#include "extension/report/IEventsChannel.h"
#include "extension/report/ZBlockSender.h"

class EventDTO;
namespace apache { namespace thrift {
namespace protocol { class TProtocol; }
namespace transport { class TSocket; }
} }

// The channel to the probe aggregator: one TCP connection per handshake, then
// one frame per request: a 4-byte big-endian length followed by one
// BlockMetaData in the Thrift compact encoding. Nothing is read from the peer
// after the handshake. The handshake is made by the caller's thread; the
// frames are queued whole and written by the channel's ZBlockSender, so a
// send returns without waiting for the aggregator, and a failed write is
// raised at the next send or flush.
class ZEventsChannelThrift : public IEventsChannel {
public:
    // Identification the probe sends in the handshake (ends with a newline).
    static const char* const HANDSHAKE_ID;
    static constexpr int32_t PROTOCOL_VERSION = 1;
    static constexpr int CONNECT_TIMEOUT_MS = 5;
    // Bound on every read and write of the connection, and on the whole read
    // of the peer's identification: a peer that stops answering or reading,
    // or trickles its identification, costs the PHP worker at most this long
    // per call.
    static constexpr int IO_TIMEOUT_MS = 500;
    // Bounds on what the peer's identification may announce.
    static constexpr int32_t PEER_STRING_LIMIT = 64 * 1024;
    static constexpr int32_t PEER_CONTAINER_LIMIT = 4096;

    // Bound on the bytes the peer sent (and should not have) that are read
    // and dropped before a close, so that the close ends the connection
    // with FIN rather than the reset that unread data causes.
    static constexpr int DRAIN_LIMIT = 64 * 1024;

    explicit ZEventsChannelThrift(const VornLog& log);
    // Closes the connection gracefully, or, when another process made it,
    // only lets go of it (see madeByAnotherProcess).
    ~ZEventsChannelThrift() override;

    void handshake(const HandshakeData& data) override;
    void send(const ZSymbolTable& symbols, const ZLocationTable& locations,
              const std::list<boost::shared_ptr<ZCaptureEvent>>& events) override;
    void flush() override;

    // Fills the one member of the record that the event's type code selects.
    // Raises zException "Don't know how to convert ZCaptureEvent => EventDTO"
    // for an unknown code (or an event whose class does not fit its code) and
    // leaves the record untouched then.
    void toThriftEventDTO(boost::shared_ptr<ZCaptureEvent> event, EventDTO& dto);

    // True while this process holds a connection it made (after a successful
    // handshake and until a library error).
    bool connected() const { return static_cast<bool>(protocol) && !madeByAnotherProcess(); }

    // True when the connection held was made by another process: this one
    // is a fork of it (a web server's worker, a script's pcntl_fork) and
    // shares the socket with it. Such a connection is never written to,
    // shut down or reset from here; the channel only closes its own
    // descriptor, at the next operation or when it is destroyed.
    bool madeByAnotherProcess() const override;

    // The sender of the connections, or null before the first handshake.
    const ZBlockSender* blockSender() const { return sender.get(); }

    VornLog log;
    std::shared_ptr<apache::thrift::protocol::TProtocol> protocol;

private:
    // Runs one channel operation so that only zException leaves it; any other
    // failure drops the connection and becomes a zException with its text.
    template <typename Operation>
    void guarded(Operation operation);
    void doHandshake(const HandshakeData& data);
    void doSend(const ZSymbolTable& symbols, const ZLocationTable& locations,
                const std::list<boost::shared_ptr<ZCaptureEvent>>& events);

    // How a connection is let go: closed with FIN after any unread bytes
    // were dropped; reset, for a connection already broken (a block cut
    // short must not look complete to the peer); or, for a connection
    // another process made, only this process's descriptor closed.
    // Returns the sender's failure when the connection ends with a reset
    // (the text counts every block lost with it); a failure met on a
    // graceful close is logged there instead.
    enum class Release { Graceful, Reset, DescriptorOnly };
    std::string release(Release how);
    // Resets the connection the sender failed on and raises the library's
    // error with the sender's final count of the blocks lost.
    [[noreturn]] void raiseSenderFailure(const std::string& why);
    // The socket of the connection (the one under `protocol`), or null.
    std::shared_ptr<apache::thrift::transport::TSocket> socket;
    // The process that made the connection.
    pid_t owner = 0;
    // The encoder, its buffer and an event record, kept from one block to
    // the next so that a block does not allocate them anew (see doSend);
    // dropped after a failure and when a block made them large.
    struct Encoding;
    struct EncodingDeleter {
        void operator()(Encoding* encoding) const;
    };
    std::unique_ptr<Encoding, EncodingDeleter> encoding;
    // Writes the framed blocks to the socket, a batch at a time, from a
    // thread of its own; made at the first handshake.
    std::unique_ptr<ZBlockSender> sender;
};
