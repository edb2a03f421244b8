#include "extension/report/ZBlockSender.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kTimedOut = "Timed out writing to the probe aggregator";

std::string errorText(const char* what, int error)
{
    char buffer[128];
    // The GNU form: returns the text, in the buffer or a static one.
    const char* text = strerror_r(error, buffer, sizeof(buffer));
    return std::string(what) + ": " + text;
}

// Writes all of `size` bytes, waiting for room at most until the deadline;
// `done` tells how many went out, also when it fails.
std::string writeAll(int fd, const uint8_t* data, std::size_t size, std::chrono::milliseconds limit,
                     std::size_t& done)
{
    const Clock::time_point deadline = Clock::now() + limit;
    done = 0;
    while (size > 0) {
        const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return kTimedOut;
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
                return errorText("Waiting to write to the probe aggregator failed", errno);
            continue;
        }
        return errorText("Writing to the probe aggregator failed", written < 0 ? errno : EPIPE);
    }
    return std::string();
}

// Past this many frames waiting for the peer's acknowledgement, the ones it
// has acknowledged are let go of (see State::unacknowledged).
constexpr std::size_t kAcknowledgedCheck = 1024;

// Every sender of the process, so that a forked child can give each a fresh
// state and the library's unloading can stop their threads.
std::mutex& registryMutex()
{
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

} // namespace

struct ZBlockSender::State {
    ~State()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    // Wakes the thread: frames queued, a flush or the stop asked, the socket
    // replaced. One write per batch, not per frame.
    void wake() const
    {
        const uint64_t one = 1;
        if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof(one)) < 0) {
            // The counter is full only when the thread is already due to wake.
        }
    }

    // Ends the use of the socket: what is queued is dropped, and counted
    // with the frames of a batch that did not go out whole. The first
    // failure names the cause; the ones after it only add their frames.
    void fail(const std::string& error, std::size_t framesOfBatch)
    {
        if (this->error.empty())
            this->error = error;
        lost += framesOfBatch + queuedFrames;
        fd = -1;
        queued.clear();
        queuedEnds.clear();
        queuedFrames = 0;
    }

    // The failure as the owner reports it: the cause and every frame lost.
    std::string failure() const
    {
        if (error.empty())
            return std::string();
        return error + " (" + std::to_string(lost) + " blocks not delivered)";
    }

    // Frames written whole: they wait for the peer's acknowledgement.
    void written(const std::vector<std::size_t>& ends, std::size_t done)
    {
        for (std::size_t end : ends) {
            if (end <= done)
                unacknowledged.push_back(sent + end);
            else
                ++lost;  // cut short: the connection cannot carry it any more
        }
        sent += done;
        if (unacknowledged.size() >= kAcknowledgedCheck)
            dropAcknowledged(false);
    }

    // Lets go of the frames the peer has acknowledged, and counts as lost
    // the others when `lose` (the connection is about to be reset, which
    // discards what the kernel still holds). The kernel tells how many of
    // the bytes sent are not acknowledged yet; when it cannot, none are
    // taken for acknowledged.
    void dropAcknowledged(bool lose)
    {
        int pending = 0;
        uint64_t acknowledged = 0;
        if (attachedFd >= 0 && ::ioctl(attachedFd, SIOCOUTQ, &pending) == 0 && pending >= 0)
            acknowledged = sent > static_cast<uint64_t>(pending) ? sent - static_cast<uint64_t>(pending) : 0;
        else if (!lose)
            acknowledged = sent;  // unknown: the list is bounded rather than kept
        while (!unacknowledged.empty() && unacknowledged.front() <= acknowledged)
            unacknowledged.pop_front();
        if (lose) {
            lost += unacknowledged.size();
            unacknowledged.clear();
        }
    }

    std::mutex mutex;
    std::condition_variable fromThread;  // a batch written or failed
    std::vector<uint8_t> queued;
    std::vector<std::size_t> queuedEnds;  // where each queued frame ends in `queued`
    std::size_t queuedFrames = 0;
    Clock::time_point firstQueued;
    int fd = -1;  // the socket to write, -1 once it failed
    // The socket attached, also after a failure, until detach: the frames it
    // may still hold are counted on it before the owner closes it.
    int attachedFd = -1;
    // Bytes written to the attached socket, and the end (in those bytes) of
    // each frame written whole whose acknowledgement the kernel has not
    // reported yet: a reset discards them with whatever it holds.
    uint64_t sent = 0;
    std::deque<uint64_t> unacknowledged;
    // Changes with every attach and detach: a descriptor number can be
    // reused for the next connection, and a close seen on the old one must
    // not fail the new one.
    uint64_t generation = 0;
    std::chrono::milliseconds writeLimit{500};
    std::string error;  // the cause of the failure, empty while none
    uint64_t lost = 0;  // frames of the attached socket that cannot be delivered
    bool busy = false;  // the thread is writing a batch, without the lock
    bool flushAsked = false;
    bool stopAsked = false;
    bool running = false;
    int wakeFd = -1;
    std::thread thread;
};

namespace {

ZBlockSender* firstSender = nullptr;

// The thread of one sender. It waits for the first frame of a batch, then
// for LINGER more (or a full batch, a flush, the stop), and writes the batch
// in one go. While it waits it also watches the socket: a peer that closes
// the connection is noticed at once, so the script's thread need not ask
// the kernel before every block.
} // namespace

void ZBlockSender::run(State& s, std::chrono::milliseconds linger)
{
    std::vector<uint8_t> batch;
    std::vector<std::size_t> batchEnds;
    std::unique_lock<std::mutex> held(s.mutex);
    for (;;) {
        const bool pending = s.fd >= 0 && !s.queued.empty();
        if (s.stopAsked && !pending)
            return;
        int timeoutMs = -1;
        if (pending) {
            const bool now = s.stopAsked || s.flushAsked || s.queued.size() >= BATCH_BYTES;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(s.firstQueued + linger - Clock::now());
            timeoutMs = now || left.count() <= 0 ? 0 : static_cast<int>(left.count());
        }
        if (timeoutMs == 0) {
            batch.swap(s.queued);
            batchEnds.swap(s.queuedEnds);
            s.queuedFrames = 0;
            const int fd = s.fd;
            const uint64_t generation = s.generation;
            const std::chrono::milliseconds limit = s.writeLimit;
            s.busy = true;
            held.unlock();
            std::size_t done = 0;
            std::string error = peerFailure(fd);
            if (error.empty())
                error = writeAll(fd, batch.data(), batch.size(), limit, done);
            held.lock();
            s.busy = false;
            // A socket attached meanwhile is not failed by the old one's error.
            if (s.generation == generation) {
                s.written(batchEnds, done);
                if (!error.empty())
                    s.fail(error, 0);
            }
            batchEnds.clear();
            batch.clear();
            if (batch.capacity() > 4 * BATCH_BYTES)
                std::vector<uint8_t>().swap(batch);
            s.fromThread.notify_all();
            continue;
        }
        const int watched = s.fd;
        const uint64_t generation = s.generation;
        held.unlock();
        // Only a close or an error of the socket counts: bytes the peer sends
        // stay unread, as they always did.
        pollfd waits[2] = {{s.wakeFd, POLLIN, 0}, {watched, POLLRDHUP, 0}};
        const int ready = ::poll(waits, watched >= 0 ? 2 : 1, timeoutMs);
        if (ready > 0 && (waits[0].revents & POLLIN)) {
            uint64_t count;
            if (::read(s.wakeFd, &count, sizeof(count)) < 0) {
                // Nothing to reset: another wake-up read it first.
            }
        }
        held.lock();
        // A descriptor closed under the sender (POLLNVAL) would make every
        // poll return at once: it ends the use of the socket too.
        if (ready > 0 && watched >= 0 && (waits[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
            && s.generation == generation && s.fd == watched) {
            const std::string error = peerFailure(watched);
            s.fail(error.empty() ? "The probe aggregator closed the connection" : error, 0);
            s.fromThread.notify_all();
        }
    }
}

ZBlockSender::ZBlockSender(std::chrono::milliseconds linger)
    : state(new State()), linger(linger)
{
    static const bool forkHandlerRegistered = [] {
        return pthread_atfork([] { registryMutex().lock(); }, [] { registryMutex().unlock(); },
                              &ZBlockSender::forgetAllInChild) == 0;
    }();
    (void)forkHandlerRegistered;
    std::lock_guard<std::mutex> guard(registryMutex());
    nextSender = firstSender;
    if (firstSender != nullptr)
        firstSender->previousSender = this;
    firstSender = this;
}

ZBlockSender::~ZBlockSender()
{
    stop();
    {
        std::lock_guard<std::mutex> guard(registryMutex());
        if (previousSender != nullptr)
            previousSender->nextSender = nextSender;
        else
            firstSender = nextSender;
        if (nextSender != nullptr)
            nextSender->previousSender = previousSender;
    }
    delete state;
}

void ZBlockSender::forgetAllInChild()
{
    // The child has no sender thread, and the old states' locks may be held
    // by it: they are left alone (a little memory of the parent's), and each
    // sender starts idle, with no socket: the connection is the parent's.
    // Only the parent's wake-up descriptor is let go of, so that a child
    // that forks again does not pile them up.
    for (ZBlockSender* sender = firstSender; sender != nullptr; sender = sender->nextSender) {
        if (sender->state->wakeFd >= 0)
            ::close(sender->state->wakeFd);
        sender->state = new State();
    }
    registryMutex().unlock();
}

void ZBlockSender::attach(int fd, std::chrono::milliseconds writeLimit)
{
    State& s = *state;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.fd = fd;
    s.attachedFd = fd;
    ++s.generation;
    s.writeLimit = writeLimit;
    s.error.clear();
    s.lost = 0;
    s.sent = 0;
    s.unacknowledged.clear();
    if (s.running) {
        s.wake();
        return;
    }
    if (s.wakeFd < 0)
        s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wakeFd < 0)
        return;  // no thread: the caller writes each frame itself
    // The thread takes no signal: the engine's time limits and the server's
    // own signals must reach the thread that runs the script.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        const std::chrono::milliseconds wait = linger;
        s.thread = std::thread([&s, wait] {
            // Writing can wait for the script's thread to wait for its next
            // request: a batch policy keeps this thread from preempting the
            // script when it wakes, and the caches the script has warmed stay
            // its own while it runs.
            const sched_param policy{};
            pthread_setschedparam(pthread_self(), SCHED_BATCH, &policy);
            run(s, wait);
        });
        s.running = true;
    } catch (const std::system_error&) {
        // No thread: the caller writes each frame itself.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool ZBlockSender::enqueue(const uint8_t* bytes, std::size_t size, std::string& why)
{
    State& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.error.empty()) {
        ++s.lost;  // this frame too
        why = s.failure();
        return false;
    }
    if (s.fd < 0) {
        why = "Event channel is not connected";
        return false;
    }
    if (!s.running) {
        // Without the thread nobody watches the socket: ask before writing,
        // so that a block is not written into a closed connection and lost.
        std::size_t done = 0;
        why = peerFailure(s.fd);
        if (why.empty())
            why = writeAll(s.fd, bytes, size, s.writeLimit, done);
        s.written(std::vector<std::size_t>{size}, done);
        if (why.empty())
            return true;
        s.fail(why, 0);
        why = s.failure();
        return false;
    }
    // A frame larger than the bound still goes out alone. Past the bound the
    // connection is given up: the owner makes a new one.
    if (!s.queued.empty() && s.queued.size() + size > MAX_QUEUED_BYTES) {
        s.fail("The probe aggregator does not keep up: " + std::to_string(s.queuedFrames) + " blocks wait to be written", 1);
        why = s.failure();
        return false;
    }
    const bool wasEmpty = s.queued.empty();
    if (wasEmpty) {
        s.firstQueued = Clock::now();
        if (s.queued.capacity() < BATCH_BYTES)
            s.queued.reserve(BATCH_BYTES);
    }
    s.queued.insert(s.queued.end(), bytes, bytes + size);
    s.queuedEnds.push_back(s.queued.size());
    ++s.queuedFrames;
    const bool full = s.queued.size() >= BATCH_BYTES && s.queued.size() - size < BATCH_BYTES;
    lock.unlock();
    // The thread is woken once per batch, not per frame.
    if (wasEmpty || full)
        s.wake();
    return true;
}

std::string ZBlockSender::waitUntilWritten()
{
    State& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.running && s.fd >= 0 && !s.queued.empty()) {
        s.flushAsked = true;
        s.wake();
    }
    // A batch being written ends within the write limit; so does the next.
    const Clock::time_point deadline = Clock::now() + 2 * s.writeLimit + std::chrono::milliseconds(100);
    const bool done = s.fromThread.wait_until(lock, deadline, [&] {
        return !s.busy && (s.queued.empty() || s.fd < 0 || !s.running);
    });
    s.flushAsked = false;
    // What is still queued did not go out: never reported as written, and
    // the peer that does not take it ends the use of the socket.
    if (!done)
        s.fail(kTimedOut, 0);
    return s.failure();
}

std::string ZBlockSender::flush()
{
    return waitUntilWritten();
}

std::string ZBlockSender::detach(bool deliver)
{
    if (deliver)
        waitUntilWritten();
    State& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    // The socket is closed after this returns: a write still on it ends
    // first (within its limit), so that nothing lands on a reused number.
    s.fromThread.wait(lock, [&] { return !s.busy; });
    s.lost += s.queuedFrames;
    // The owner resets a connection it drops or that failed: the frames the
    // peer has not acknowledged go with it, and are counted here, while the
    // socket still tells how far the peer got.
    if (!deliver || !s.error.empty())
        s.dropAcknowledged(true);
    if (s.error.empty() && s.lost > 0)
        s.error = "The connection to the probe aggregator was dropped";
    const std::string failure = s.failure();
    s.fd = -1;
    s.attachedFd = -1;
    ++s.generation;
    s.queued.clear();
    s.queuedEnds.clear();
    s.queuedFrames = 0;
    s.unacknowledged.clear();
    s.sent = 0;
    s.lost = 0;
    s.error.clear();
    s.wake();  // the thread stops watching the socket before it is closed
    return failure;
}

void ZBlockSender::stop()
{
    State& s = *state;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.running)
            return;
        s.stopAsked = true;
        s.wake();
    }
    // The thread writes what is queued (within the write limit) and ends.
    s.thread.join();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.stopAsked = false;
}

void ZBlockSender::stopAll()
{
    std::lock_guard<std::mutex> guard(registryMutex());
    for (ZBlockSender* sender = firstSender; sender != nullptr; sender = sender->nextSender)
        sender->stop();
}

uint64_t ZBlockSender::blocksNotDelivered(const std::string& failure)
{
    static const std::string tail = " blocks not delivered)";
    const std::size_t end = failure.rfind(tail);
    const std::size_t open = end == std::string::npos ? std::string::npos : failure.rfind('(', end);
    uint64_t count = 0;
    if (open == std::string::npos || open + 1 == end)
        return 0;
    for (std::size_t at = open + 1; at < end; ++at) {
        const char c = failure[at];
        if (c < '0' || c > '9' || count > UINT64_MAX / 10 - 1)
            return 0;
        count = count * 10 + static_cast<uint64_t>(c - '0');
    }
    return count;
}

bool ZBlockSender::threaded() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->running;
}

bool ZBlockSender::failedWithin(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->fromThread.wait_for(lock, limit, [this] { return !state->error.empty(); });
}

std::string ZBlockSender::peerFailure(int fd)
{
    pollfd pfd{};
    pfd.fd = fd;
    // POLLRDHUP also tells of a peer that closed after sending bytes that
    // are still unread here, which a peek alone would take for a live peer.
    pfd.events = POLLIN | POLLRDHUP;
    if (fd < 0 || ::poll(&pfd, 1, 0) <= 0)
        return std::string();  // nothing pending: the usual case
    if ((pfd.revents & (POLLRDHUP | POLLHUP)) && !(pfd.revents & POLLERR))
        return "The probe aggregator closed the connection";
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0)
        return "The probe aggregator closed the connection";
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return errorText("Connection to the probe aggregator failed", errno);
    // Bytes the peer sent although it answers nothing are left unread.
    return std::string();
}
