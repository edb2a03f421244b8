#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "extension/report/idl/handshakeDTO_types.h"

namespace {

int listenLoopback(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

LoopbackPeer::LoopbackPeer(const Script& script)
    : script_(script)
{
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { run(); });
}

LoopbackPeer::~LoopbackPeer()
{
    stop_ = true;
    thread_.join();
    close(listener_);
}

int LoopbackPeer::unusedPort()
{
    int port = 0;
    close(listenLoopback(port));
    return port;
}

std::string LoopbackPeer::identification(bool withVersion)
{
    using namespace apache::thrift;
    auto memory = std::make_shared<transport::TMemoryBuffer>();
    protocol::TCompactProtocol out(memory);
    if (withVersion) {
        ThriftProtocolIdentificationDTO ident;
        ident.handshakeId = "peer\n";
        ident.protocolVersion = 7;
        ident.write(&out);
    } else {
        out.writeStructBegin("ThriftProtocolIdentificationDTO");
        out.writeFieldBegin("handshakeId", protocol::T_STRING, 1);
        out.writeString("peer\n");
        out.writeFieldEnd();
        out.writeFieldStop();
        out.writeStructEnd();
    }
    return memory->getBufferAsString();
}

std::string LoopbackPeer::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool LoopbackPeer::waitForBytes(size_t count, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        if (received().size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return received().size() >= count;
}

bool LoopbackPeer::waitForClose(int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        if (closed_ > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return closed_ > 0;
}

void LoopbackPeer::run()
{
    while (!stop_) {
        pollfd pfd{listener_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        if (script_.trickleMs > 0) {
            for (size_t i = 0; i < script_.greeting.size() && !stop_; ++i) {
                if (send(fd, script_.greeting.data() + i, 1, MSG_NOSIGNAL) != 1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(script_.trickleMs));
            }
        } else if (!script_.greeting.empty()) {
            (void)send(fd, script_.greeting.data(), script_.greeting.size(), MSG_NOSIGNAL);
        }
        if (script_.closeAfterGreeting) {
            close(fd);
            ++closed_;
            continue;
        }
        size_t got = 0;
        bool open = true;
        while (!stop_ && open) {
            if (!script_.read) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            pollfd cfd{fd, POLLIN, 0};
            if (poll(&cfd, 1, 20) <= 0) continue;
            char buffer[65536];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                open = false;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(buffer, static_cast<size_t>(n));
            }
            got += static_cast<size_t>(n);
            if (script_.closeAfterBytes && got >= script_.closeAfterBytes) {
                if (!script_.farewell.empty()) {
                    (void)send(fd, script_.farewell.data(), script_.farewell.size(), MSG_NOSIGNAL);
                }
                open = false;
            }
        }
        close(fd);
        ++closed_;
    }
}
