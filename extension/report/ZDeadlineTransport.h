#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include <thrift/transport/TSocket.h>
#include <thrift/transport/TVirtualTransport.h>

// A socket seen through one time limit on everything read from it: each read
// may wait only for what is left of the limit, counted from the connect. The
// handshake reads the peer's identification through it, so that a peer that
// trickles its bytes, or streams fields that never end, holds the PHP worker
// no longer than the limit. Writes, connecting and closing go straight to the
// socket.
class ZDeadlineTransport
    : public apache::thrift::transport::TVirtualTransport<ZDeadlineTransport> {
public:
    ZDeadlineTransport(std::shared_ptr<apache::thrift::transport::TSocket> socket, int limitMs);

    bool isOpen() const override;
    bool peek() override;
    // Connects the socket and starts the clock of the limit.
    void open() override;
    void close() override;
    void flush() override;

    // Raises the library's time-out error once the limit has passed.
    uint32_t read(uint8_t* buf, uint32_t len);
    void write(const uint8_t* buf, uint32_t len);

private:
    std::shared_ptr<apache::thrift::transport::TSocket> socket_;
    std::chrono::milliseconds limit_;
    std::chrono::steady_clock::time_point deadline_;
};
