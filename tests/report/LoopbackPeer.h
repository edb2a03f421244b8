#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// A scripted peer on a free loopback port, for the failures a real
// aggregator rarely shows: it sends `greeting` to each connection it
// accepts, then either closes, or reads (or refuses to read) until stopped.
class LoopbackPeer {
public:
    struct Script {
        std::string greeting;       // bytes sent right after accepting
        int trickleMs = 0;          // > 0: the greeting goes out a byte at a time, this far apart
        bool closeAfterGreeting = false;
        bool read = true;           // false: never read what the probe sends
        // Close the connection once this many bytes were received (0: never).
        size_t closeAfterBytes = 0;
        std::string farewell;       // sent just before that close
    };

    explicit LoopbackPeer(const Script& script);
    ~LoopbackPeer();

    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int port() const { return port_; }
    // Everything received on all connections so far.
    std::string received();
    int accepted() const { return accepted_; }
    // Waits (bounded) until at least `count` bytes were received.
    bool waitForBytes(size_t count, int timeoutMs);
    // Waits (bounded) until the current connection was closed by either side.
    bool waitForClose(int timeoutMs);

    // A port on which nothing listens (bound, then released).
    static int unusedPort();
    // The aggregator's identification as the compact encoding writes it.
    static std::string identification(bool withVersion);

private:
    void run();

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> closed_{0};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};
