#include "extension/report/ZBlockSender.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
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

// Writes all of `size` bytes, waiting for room at most until the deadline.
std::string writeAll(int fd, const uint8_t* data, std::size_t size, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    while (size > 0) {
        const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
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

    // Ends the use of the socket: what is queued is dropped, and the failure
    // names it with the frames of a batch that did not go out.
    void fail(const std::string& error, std::size_t framesOfBatch)
    {
        failure = error + " (" + std::to_string(framesOfBatch + queuedFrames) + " blocks not delivered)";
        fd = -1;
        queued.clear();
        queuedFrames = 0;
    }

    std::mutex mutex;
    std::condition_variable fromThread;  // a batch written or failed
    std::vector<uint8_t> queued;
    std::size_t queuedFrames = 0;
    Clock::time_point firstQueued;
    int fd = -1;
    // Changes with every attach and detach: a descriptor number can be
    // reused for the next connection, and a close seen on the old one must
    // not fail the new one.
    uint64_t generation = 0;
    std::chrono::milliseconds writeLimit{500};
    std::string failure;
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
            const std::size_t frames = s.queuedFrames;
            s.queuedFrames = 0;
            const int fd = s.fd;
            const uint64_t generation = s.generation;
            const std::chrono::milliseconds limit = s.writeLimit;
            s.busy = true;
            held.unlock();
            std::string error = peerFailure(fd);
            if (error.empty())
                error = writeAll(fd, batch.data(), batch.size(), limit);
            held.lock();
            s.busy = false;
            // A socket attached meanwhile is not failed by the old one's error.
            if (!error.empty() && s.generation == generation)
                s.fail(error, frames);
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
    ++s.generation;
    s.writeLimit = writeLimit;
    s.failure.clear();
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
    if (!s.failure.empty()) {
        why = s.failure;
        return false;
    }
    if (s.fd < 0) {
        why = "Event channel is not connected";
        return false;
    }
    if (!s.running) {
        // Without the thread nobody watches the socket: ask before writing,
        // so that a block is not written into a closed connection and lost.
        why = peerFailure(s.fd);
        if (why.empty())
            why = writeAll(s.fd, bytes, size, s.writeLimit);
        if (why.empty())
            return true;
        s.fd = -1;
        s.failure = why;
        return false;
    }
    // A frame larger than the bound still goes out alone.
    if (!s.queued.empty() && s.queued.size() + size > MAX_QUEUED_BYTES) {
        why = "The probe aggregator does not keep up: " + std::to_string(s.queuedFrames) + " blocks wait to be written";
        return false;
    }
    const bool wasEmpty = s.queued.empty();
    if (wasEmpty) {
        s.firstQueued = Clock::now();
        if (s.queued.capacity() < BATCH_BYTES)
            s.queued.reserve(BATCH_BYTES);
    }
    s.queued.insert(s.queued.end(), bytes, bytes + size);
    ++s.queuedFrames;
    const bool full = s.queued.size() >= BATCH_BYTES && s.queued.size() - size < BATCH_BYTES;
    lock.unlock();
    // The thread is woken once per batch, not per frame.
    if (wasEmpty || full)
        s.wake();
    return true;
}

std::string ZBlockSender::waitUntilWritten(bool dropOnTimeOut)
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
    if (!done) {
        // What is still queued did not go out: never reported as written.
        if (dropOnTimeOut)
            s.failure = kTimedOut;
        else if (s.failure.empty())
            return kTimedOut;
    }
    return s.failure;
}

std::string ZBlockSender::flush()
{
    return waitUntilWritten(false);
}

std::string ZBlockSender::detach(bool deliver)
{
    if (deliver)
        waitUntilWritten(true);
    State& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    // The socket is closed after this returns: a write still on it ends
    // first (within its limit), so that nothing lands on a reused number.
    s.fromThread.wait(lock, [&] { return !s.busy; });
    s.fd = -1;
    ++s.generation;
    s.queued.clear();
    s.queuedFrames = 0;
    s.wake();  // the thread stops watching the socket before it is closed
    std::string failure;
    failure.swap(s.failure);
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

bool ZBlockSender::threaded() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->running;
}

bool ZBlockSender::failedWithin(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->fromThread.wait_for(lock, limit, [this] { return !state->failure.empty(); });
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
