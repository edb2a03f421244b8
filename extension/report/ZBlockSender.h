#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Writes a worker's framed blocks to the aggregator's connection from a
// thread of its own, a batch at a time.
//
// Why: a block written at the end of each request costs the request a send
// on loopback, which also runs the receiving side's protocol work and wakes
// the aggregator; on a page of about a millisecond that alone is several
// percent of its CPU time. Queued instead, the blocks of the requests that
// end within LINGER of each other go out in one write. A block waits at most
// LINGER (less when BATCH_BYTES are queued), also in a worker that serves no
// further request, and the request never waits for the aggregator.
//
// Frames are queued whole and written in order. A write that fails or cannot
// finish within the write limit, the peer closing the connection (which the
// thread notices while it waits), or a full queue ends the sender's use of
// the socket, drops what was queued, and is reported at the next enqueue or
// flush, after which the owner lets go of the connection and makes a new one.
//
// No frame is lost uncounted: a failure's text ends with "(N blocks not
// delivered)", which counts the frames dropped from the queue, cut short,
// refused after the failure, and, when the owner lets go of the connection
// (and then resets it), those written whole that the peer has not
// acknowledged: the reset discards what the kernel still holds for it,
// which on loopback can be megabytes. (A frame the peer received but had
// not acknowledged yet is counted too: the count errs only upwards.)
//
// The thread never touches the engine or the log: failures travel back as
// text. It blocks every signal (the engine's time limits are process-wide
// signals), and a forked child starts with an idle sender of its own, never
// writing its parent's queue. Where no thread can be made, frames are
// written by the caller, as they would be without the sender.
class ZBlockSender {
public:
    static constexpr std::chrono::milliseconds LINGER{20};
    static constexpr std::size_t BATCH_BYTES = 64 * 1024;
    // Past this many queued bytes the aggregator is not keeping up: a new
    // frame is refused rather than letting the worker's memory grow.
    static constexpr std::size_t MAX_QUEUED_BYTES = 8 * 1024 * 1024;

    explicit ZBlockSender(std::chrono::milliseconds linger = LINGER);
    // Stops the thread after writing what is queued (within the write limit).
    ~ZBlockSender();

    ZBlockSender(const ZBlockSender&) = delete;
    ZBlockSender& operator=(const ZBlockSender&) = delete;

    // Hands over a connected socket, which stays the caller's to close
    // (after detach). Frames queued from now on go to it; a failure of an
    // earlier socket is forgotten. Starts the thread when not yet running.
    void attach(int fd, std::chrono::milliseconds writeLimit);

    // Lets go of the socket: on return nothing writes to it any more. With
    // `deliver`, what is queued is written first (within the write limit);
    // otherwise it is dropped. Returns the failure text, empty when none.
    // The owner ends the connection with a reset when the text is not empty
    // or `deliver` is false: the text then counts every frame lost with it,
    // the unacknowledged ones too (asked of the socket, which must still be
    // open).
    std::string detach(bool deliver);

    // Queues one whole frame. False, with the reason in `why`, when the
    // socket has failed (the frame and the queue are dropped), none is
    // attached, or the queue is full (which fails the socket).
    bool enqueue(const uint8_t* bytes, std::size_t size, std::string& why);

    // Writes what is queued now and waits for it (within the write limit;
    // running out of it fails the socket). Returns the failure text, empty
    // when everything went out.
    std::string flush();

    // Stops the thread of every sender of this process, after writing what
    // they have queued: the library's code must not run in a thread once it
    // is unloaded. A sender used again writes from the caller's thread until
    // its next attach, which starts a thread again (nothing attaches after
    // module shutdown).
    static void stopAll();

    // The failure text when the peer has closed or broken the connection,
    // without waiting and without reading what the peer sent; empty when
    // the connection looks alive.
    static std::string peerFailure(int fd);

    // The N of a failure text's "(N blocks not delivered)", 0 without one.
    static uint64_t blocksNotDelivered(const std::string& failure);

    // Whether frames are written by a thread of this sender (for tests).
    bool threaded() const;

    // Waits up to `limit` for the thread to record a failure of the socket,
    // such as the peer's close; true once it has (for tests: the thread
    // notices on its own time).
    bool failedWithin(std::chrono::milliseconds limit) const;

private:
    struct State;
    static void run(State& s, std::chrono::milliseconds linger);
    void stop();
    static void forgetAllInChild();
    std::string waitUntilWritten();

    State* state;
    const std::chrono::milliseconds linger;
    ZBlockSender* nextSender = nullptr;
    ZBlockSender* previousSender = nullptr;
};
