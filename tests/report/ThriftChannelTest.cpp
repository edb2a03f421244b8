#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "LoopbackPeer.h"
#include "tests/support/MemoryLog.h"
#include "SampleHandshake.h"
#include "common/zException.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/report/ZEventsChannelThrift.h"
#include "extension/report/idl/blockMetaData_types.h"
#include "extension/report/idl/handshakeDTO_types.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the probe must write in the handshake, encoded independently here.
std::string expectedHandshakeBytes()
{
    using namespace apache::thrift;
    auto memory = std::make_shared<transport::TMemoryBuffer>();
    protocol::TCompactProtocol out(memory);
    ThriftProtocolIdentificationDTO ident;
    ident.handshakeId = "com.kolvane.common.io.mediator.EventChannel.Outgoing\n";
    ident.protocolVersion = 1;
    ident.write(&out);
    ThriftProbeMetaDataDTO meta;
    meta.probeName = "probe";
    meta.probeOID = "probe.1700000000";
    meta.hostname = "web1.example.com";
    meta.probeType = 2;
    meta.__set_versionInfo("mediator_ping");
    meta.write(&out);
    return memory->getBufferAsString();
}

uint32_t bigEndian(const std::string& bytes, size_t at)
{
    return (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

LoopbackPeer::Script aggregatorScript()
{
    LoopbackPeer::Script script;
    script.greeting = LoopbackPeer::identification(true);
    return script;
}

// A listening socket on a free loopback port.
int listenOnLoopback(int& port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener, 4) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on loopback");
    }
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return listener;
}

// Accepts one connection (within 5 s) and sends it the aggregator's
// greeting; -1 when none came.
int acceptAndGreet(int listener)
{
    pollfd pfd{listener, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) != 1)
        return -1;
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0)
        return -1;
    const std::string greeting = LoopbackPeer::identification(true);
    ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    return fd;
}

// What the connection yields until it ends or stays quiet for `quietMs`;
// `end` tells how it ended: 0 for an orderly close, the error number
// otherwise, -1 when it went quiet.
std::string readToEnd(int fd, int quietMs, int& end)
{
    std::string received;
    char buffer[65536];
    for (;;) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, quietMs) != 1)
            break;
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            end = got == 0 ? 0 : errno;
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

// An aggregator for one connection that reads everything to the end and
// tells how the connection ended: 0 for an orderly close (FIN), the error
// number otherwise (ECONNRESET for a reset), -1 when nothing ended it.
class EndWatchingPeer {
public:
    EndWatchingPeer()
    {
        listener_ = listenOnLoopback(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~EndWatchingPeer()
    {
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    // Waits for the end of the connection; what was received, and how it ended.
    std::string finish(int& end)
    {
        thread_.join();
        end = end_;
        return received_;
    }

private:
    void run()
    {
        const int fd = acceptAndGreet(listener_);
        if (fd < 0)
            return;
        received_ = readToEnd(fd, 10000, end_);
        ::close(fd);
    }

    int listener_ = -1;
    int port_ = 0;
    int end_ = -1;
    std::string received_;
    std::thread thread_;
};

// An aggregator that answers the handshake, then reads nothing (it is
// stopped) until the test has it read what its kernel accepted.
class StalledPeer {
public:
    StalledPeer()
    {
        listener_ = listenOnLoopback(port_);
        thread_ = std::thread([this] { fd_ = acceptAndGreet(listener_); });
    }
    ~StalledPeer()
    {
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
        ::close(listener_);
    }
    int port() const { return port_; }
    // Everything the connection still yields, up to its end or reset.
    std::string readAll()
    {
        thread_.join();
        int end = -1;
        return fd_ < 0 ? std::string() : readToEnd(fd_, 2000, end);
    }

private:
    int listener_ = -1;
    int port_ = 0;
    int fd_ = -1;
    std::thread thread_;
};

} // namespace

TEST(ThriftChannel, HandshakeRecordsAndFrames)
{
    LoopbackPeer peer(aggregatorScript());
    MemoryLog mem(3);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));
    EXPECT_TRUE(channel.connected());

    const std::string handshake = expectedHandshakeBytes();
    ASSERT_TRUE(peer.waitForBytes(handshake.size(), 2000));
    EXPECT_EQ(peer.received(), handshake);

    // A block with nothing in it: the frame of three empty lists.
    ZSymbolTable noSymbols;
    noSymbols.symbols.clear();
    channel.send(noSymbols, ZLocationTable(), {});
    const std::string emptyFrame("\x00\x00\x00\x07\x19\x0C\x19\x0C\x19\x0C\x00", 11);
    ASSERT_TRUE(peer.waitForBytes(handshake.size() + emptyFrame.size(), 2000));
    EXPECT_EQ(peer.received().substr(handshake.size()), emptyFrame);

    // A fuller block: the prefix counts exactly the bytes after it.
    ZSymbolTable symbols;
    symbols.add(std::string(300, 's'), -1);
    ZLocationTable locations;
    auto location = boost::make_shared<ZLocation>();
    location->id = 4;
    locations.add(location);
    std::list<boost::shared_ptr<ZCaptureEvent>> events;
    events.push_back(boost::make_shared<ZMethodStartEvent>());
    channel.send(symbols, locations, events);

    const size_t start = handshake.size() + emptyFrame.size();
    ASSERT_TRUE(peer.waitForBytes(start + 4, 2000));
    const uint32_t length = bigEndian(peer.received(), start);
    ASSERT_TRUE(peer.waitForBytes(start + 4 + length, 2000));
    EXPECT_EQ(peer.received().size(), start + 4 + length);
    EXPECT_GT(length, 300u);
    // At level 3 sending writes nothing of its own.
    EXPECT_EQ(mem.text(), "");
}

// The connection lives in a worker of the web server: a program a script
// starts (exec, proc_open, mail) must not inherit it, or the aggregator would
// not see it close while that program runs.
TEST(ThriftChannel, ConnectionIsNotInheritedByStartedPrograms)
{
    LoopbackPeer peer(aggregatorScript());
    MemoryLog mem(3);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));
    ASSERT_TRUE(channel.connected());
    int sockets = 0;
    DIR* fds = opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st{};
        if (entry->d_name[0] == '.' || fd == dirfd(fds) || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        ++sockets;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "socket descriptor " << fd;
    }
    closedir(fds);
    EXPECT_GE(sockets, 1);
}

TEST(ThriftChannel, SendLogsSizesAtLevelFour)
{
    LoopbackPeer peer(aggregatorScript());
    MemoryLog mem(4);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));
    channel.send(ZSymbolTable(), ZLocationTable(), {});
    EXPECT_EQ(mem.count("Sending SymbolTable with: 12 entries"), 1u);
    EXPECT_EQ(mem.count("Sending Location Table with:"), 0u);  // empty list: no line
    EXPECT_EQ(mem.count("Sending Events Table with: 0 entries"), 1u);
    EXPECT_EQ(mem.count("Buffer size is:"), 1u);
}

TEST(ThriftChannel, IdentificationWithoutVersionFailsAndCloses)
{
    LoopbackPeer::Script script;
    script.greeting = LoopbackPeer::identification(false);
    LoopbackPeer peer(script);
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    try {
        channel.handshake(handshakeData(peer.port()));
        FAIL() << "handshake must fail";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "TProtocolException: Invalid data");
    }
    EXPECT_FALSE(channel.connected());
    EXPECT_TRUE(peer.waitForClose(2000));
    EXPECT_EQ(peer.received(), "");  // the probe wrote nothing
}

TEST(ThriftChannel, PeerClosingDuringHandshakeOrRefusing)
{
    LoopbackPeer::Script script;
    script.greeting = LoopbackPeer::identification(true).substr(0, 3);
    script.closeAfterGreeting = true;
    LoopbackPeer peer(script);
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    EXPECT_THROW(channel.handshake(handshakeData(peer.port())), zException);
    EXPECT_FALSE(channel.connected());

    EXPECT_THROW(channel.handshake(handshakeData(LoopbackPeer::unusedPort())), zException);
    EXPECT_FALSE(channel.connected());

    IEventsChannel::HandshakeData badHost = handshakeData(2626);
    badHost.host = "no such host.invalid";
    EXPECT_THROW(channel.handshake(badHost), zException);
}

TEST(ThriftChannel, SilentPeerCostsOneTimeOut)
{
    LoopbackPeer peer(LoopbackPeer::Script{});  // accepts, never identifies itself
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    const auto start = Clock::now();
    EXPECT_THROW(channel.handshake(handshakeData(peer.port())), zException);
    const long long took = msSince(start);
    EXPECT_GE(took, ZEventsChannelThrift::IO_TIMEOUT_MS - 50);
    EXPECT_LT(took, ZEventsChannelThrift::IO_TIMEOUT_MS * 4);
    EXPECT_FALSE(channel.connected());
}

TEST(ThriftChannel, TricklingOrEndlessIdentificationCostsOneTimeOutInAll)
{
    // Fields the identification does not define (id 3, i32 0), which the
    // reader skips for as long as they come.
    std::string unknownFields;
    for (int i = 0; i < 200000; ++i) {
        unknownFields += std::string("\x05\x06\x00", 3);
    }

    // Each byte well within the time-out of one read, but never the end.
    LoopbackPeer::Script slow;
    slow.greeting = unknownFields.substr(0, 300);
    slow.trickleMs = ZEventsChannelThrift::IO_TIMEOUT_MS / 5;
    // A stream of them, faster than the reader can skip them.
    LoopbackPeer::Script fast;
    fast.greeting = unknownFields;
    for (const auto& script : {slow, fast}) {
        LoopbackPeer peer(script);
        MemoryLog mem(0);
        ZEventsChannelThrift channel(mem.log);
        const auto start = Clock::now();
        EXPECT_THROW(channel.handshake(handshakeData(peer.port())), zException);
        EXPECT_LT(msSince(start), ZEventsChannelThrift::IO_TIMEOUT_MS * 2);
        EXPECT_FALSE(channel.connected());
        EXPECT_EQ(peer.received(), "");  // the probe introduced itself to no one
    }
}

TEST(ThriftChannel, PeerThatStopsReadingCostsOneTimeOut)
{
    LoopbackPeer::Script script = aggregatorScript();
    script.read = false;
    LoopbackPeer peer(script);
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));

    // Far more than the socket buffers of both ends can hold.
    ZSymbolTable symbols;
    for (int i = 0; i < 64; ++i) {
        symbols.add(std::to_string(i) + std::string(1 << 20, 'x'), -1);
    }
    // The send only queues the block; the failed write is raised next.
#ifdef __SANITIZE_ADDRESS__
    constexpr int slowdown = 4;  // the sanitizers make copying 64 MiB several times slower
#else
    constexpr int slowdown = 1;
#endif
    const auto start = Clock::now();
    channel.send(symbols, ZLocationTable(), {});
    EXPECT_LT(msSince(start), 5000 * slowdown);  // encoding 64 MiB, not waiting for the peer
    EXPECT_THROW(channel.flush(), zException);
    EXPECT_LT(msSince(start), 10000 * slowdown);
    EXPECT_FALSE(channel.connected());
}

// A stalled aggregator fills the socket buffers of both ends; the write then
// runs out of time (or the queue fills up) and the connection is reset,
// which discards what the probe's kernel still holds: megabytes of blocks.
// Every block the peer cannot read whole is counted in the failure's text,
// the block refused at the failure too.
TEST(ThriftChannel, StalledPeerLosesNoBlockUncounted)
{
    ZSymbolTable symbols;
    symbols.add(std::string(16 * 1024, 'x'), -1);
    for (const int pauseMs : {2, 0}) {  // the write's time-out first; the queue's bound first
        StalledPeer peer;
        MemoryLog mem(0);
        ZEventsChannelThrift channel(mem.log);
        channel.handshake(handshakeData(peer.port()));
        size_t sent = 0;
        std::string failure;
        while (failure.empty() && sent < 4000) {
            ++sent;
            try {
                channel.send(symbols, ZLocationTable(), {});
            } catch (const zException& e) {
                failure = e.message;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        std::smatch count;
        ASSERT_TRUE(std::regex_search(failure, count, std::regex("\\((\\d+) blocks not delivered\\)$"))) << failure;
        EXPECT_FALSE(channel.connected());

        const std::string got = peer.readAll();
        size_t whole = 0;
        for (size_t at = expectedHandshakeBytes().size(); at + 4 <= got.size(); ++whole) {
            at += 4 + bigEndian(got, at);
            if (at > got.size())
                break;
        }
        // None uncounted. Bytes the peer received but had not acknowledged
        // yet (a delayed acknowledgement: up to two loopback segments of
        // 64 KiB) are counted lost though it can read them.
        const size_t counted = whole + std::stoul(count[1]);
        EXPECT_LE(sent, counted) << failure << "; read whole: " << whole;
        EXPECT_LE(counted, sent + 8) << failure << "; read whole: " << whole;
    }
}

TEST(ThriftChannel, UnknownEventWritesNothing)
{
    LoopbackPeer peer(aggregatorScript());
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));
    const size_t handshake = expectedHandshakeBytes().size();
    ASSERT_TRUE(peer.waitForBytes(handshake, 2000));

    std::list<boost::shared_ptr<ZCaptureEvent>> events;
    events.push_back(boost::make_shared<ZMethodStartEvent>());
    events.push_back(boost::make_shared<ZCaptureEvent>());
    try {
        channel.send(ZSymbolTable(), ZLocationTable(), events);
        FAIL() << "send must fail";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Don't know how to convert ZCaptureEvent => EventDTO");
    }
    EXPECT_FALSE(peer.waitForBytes(handshake + 1, 200));
}

TEST(ThriftChannel, PeerGoneBeforeABlockIsNoticedAtThatBlock)
{
    LoopbackPeer::Script script = aggregatorScript();
    script.closeAfterBytes = expectedHandshakeBytes().size();
    LoopbackPeer peer(script);
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(peer.port()));
    ASSERT_TRUE(peer.waitForClose(2000));
    ASSERT_TRUE(channel.blockSender()->failedWithin(std::chrono::seconds(5)));  // the sender saw the FIN

    EXPECT_THROW(channel.send(ZSymbolTable(), ZLocationTable(), {}), zException);
    EXPECT_FALSE(channel.connected());

    // Also when the peer sent something before closing (it should answer
    // nothing): the unread bytes do not hide that it is gone.
    script.farewell = "bye";
    LoopbackPeer chatty(script);
    channel.handshake(handshakeData(chatty.port()));
    ASSERT_TRUE(chatty.waitForClose(2000));
    ASSERT_TRUE(channel.blockSender()->failedWithin(std::chrono::seconds(5)));  // past the farewell
    EXPECT_THROW(channel.send(ZSymbolTable(), ZLocationTable(), {}), zException);
    EXPECT_FALSE(channel.connected());
    EXPECT_EQ(mem.text().find("Failed to report events"), std::string::npos);  // raised, not logged

    // Gone after the last block: no send raises it, so closing says so.
    LoopbackPeer last(script);
    channel.handshake(handshakeData(last.port()));
    ASSERT_TRUE(last.waitForClose(2000));
    ASSERT_TRUE(channel.blockSender()->failedWithin(std::chrono::seconds(5)));
    channel.handshake(handshakeData(last.port()));  // ends the connection held first
    EXPECT_NE(mem.text().find("[ERROR] Failed to report events: The probe aggregator closed the connection"),
              std::string::npos) << mem.text();
}

TEST(ThriftChannel, UseBeforeHandshakeIsAnError)
{
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    EXPECT_THROW(channel.send(ZSymbolTable(), ZLocationTable(), {}), zException);
    EXPECT_THROW(channel.flush(), zException);
}

TEST(ThriftChannel, OversizedIdentificationIsRefusedAtOnce)
{
    // handshakeId announced as 100 MB: refused from the length alone.
    LoopbackPeer::Script script;
    script.greeting = std::string("\x18\x80\x80\x80\x30", 5);
    LoopbackPeer peer(script);
    MemoryLog mem(0);
    ZEventsChannelThrift channel(mem.log);
    const auto start = Clock::now();
    EXPECT_THROW(channel.handshake(handshakeData(peer.port())), zException);
    EXPECT_LT(msSince(start), ZEventsChannelThrift::IO_TIMEOUT_MS);
    EXPECT_FALSE(channel.connected());
}

// A fork of the process that made the connection (a web server's worker
// forked after start-up, a script's pcntl_fork) shares its socket: it must
// neither write a block to it nor end it, only let go of its descriptor.
// The maker's own close then ends the connection with FIN, not a reset that
// may make the aggregator drop blocks it has not read yet.
TEST(ThriftChannel, ForkLetsGoSilentlyAndCloseEndsWithFin)
{
    EndWatchingPeer peer;
    MemoryLog mem(0);
    auto channel = std::make_unique<ZEventsChannelThrift>(mem.log);
    channel->handshake(handshakeData(peer.port()));
    ASSERT_TRUE(channel->connected());
    EXPECT_FALSE(channel->madeByAnotherProcess());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool sound = channel->madeByAnotherProcess() && !channel->connected();
        try {
            channel->send(ZSymbolTable(), ZLocationTable(), {});
            sound = false;
        } catch (const zException&) {
        }
        channel.reset();
        ::_exit(sound ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The connection is still whole and still this process's.
    ZSymbolTable noSymbols;
    noSymbols.symbols.clear();
    EXPECT_NO_THROW(channel->send(noSymbols, ZLocationTable(), {}));
    channel.reset();

    int end = -1;
    const std::string received = peer.finish(end);
    const std::string emptyFrame("\x00\x00\x00\x07\x19\x0C\x19\x0C\x19\x0C\x00", 11);
    EXPECT_EQ(received, expectedHandshakeBytes() + emptyFrame);
    EXPECT_EQ(end, 0) << "the connection ended with " << std::strerror(end);
}

// The encoder and records are kept from one block to the next: nothing of an
// earlier block (an exception's fields, a location list, a large block's
// records) may show in a later one, which must be byte for byte what a new
// channel writes for it.
TEST(ThriftChannel, KeptRecordsCarryNothingIntoTheNextBlock)
{
    auto frameOf = [](const std::string& bytes, size_t at) {
        return bytes.substr(at, 4 + bigEndian(bytes, at));
    };
    auto throwingEnd = boost::make_shared<ZMethodEndEvent>();
    throwingEnd->flags = 33;
    throwingEnd->exception.type = "RuntimeException";
    throwingEnd->exception.message = "failed";
    throwingEnd->exception.trace = "#0 {main}";
    ZLocationTable oneLocation;
    auto location = boost::make_shared<ZLocation>();
    location->id = 9;
    location->callerLineNumber = 12;
    oneLocation.add(location);
    std::list<boost::shared_ptr<ZCaptureEvent>> first{throwingEnd, boost::make_shared<ZMethodStartEvent>()};
    std::list<boost::shared_ptr<ZCaptureEvent>> large;
    for (int i = 0; i < 100; ++i)
        large.push_back(boost::make_shared<ZMethodStartEvent>());
    std::list<boost::shared_ptr<ZCaptureEvent>> last{boost::make_shared<ZMethodStartEvent>(),
                                                     boost::make_shared<ZMethodEndEvent>()};
    ZSymbolTable symbols;
    symbols.symbols.clear();

    MemoryLog mem(3);
    LoopbackPeer reused(aggregatorScript());
    ZEventsChannelThrift channel(mem.log);
    channel.handshake(handshakeData(reused.port()));
    const size_t handshake = expectedHandshakeBytes().size();
    size_t at = handshake;
    for (const auto* events : {&first, &large, &first, &last}) {
        channel.send(symbols, events == &last ? ZLocationTable() : oneLocation, *events);
        ASSERT_TRUE(reused.waitForBytes(at + 4, 2000));
        const size_t next = at + 4 + bigEndian(reused.received(), at);
        ASSERT_TRUE(reused.waitForBytes(next, 2000));
        if (events != &last)
            at = next;
    }

    LoopbackPeer fresh(aggregatorScript());
    ZEventsChannelThrift newChannel(mem.log);
    newChannel.handshake(handshakeData(fresh.port()));
    newChannel.send(symbols, ZLocationTable(), last);
    ASSERT_TRUE(fresh.waitForBytes(handshake + 4, 2000));
    ASSERT_TRUE(fresh.waitForBytes(handshake + 4 + bigEndian(fresh.received(), handshake), 2000));
    EXPECT_EQ(frameOf(reused.received(), at), frameOf(fresh.received(), handshake));
}

// Symbols, locations, method, fragment and attribute events are encoded
// without the generated records: the frame must be byte for byte what the
// generated code writes for the records the channel fills, whatever the
// values (negative and extreme integers, empty and long texts, long lists,
// exception texts with and without the error flag, subclasses under a method
// event's code).
TEST(ThriftChannel, BlockIsWhatTheGeneratedRecordsWrite)
{
    const int32_t extremes[] = {0, 1, -1, 63, -64, 64, 8191, -8192, INT32_MAX, INT32_MIN};
    std::list<boost::shared_ptr<ZCaptureEvent>> events;
    events.push_back(boost::make_shared<ZHttpFragmentStartEvent>());
    for (int i = 0; i < 10; ++i) {
        auto start = boost::make_shared<ZMethodStartEvent>();
        start->locationId = extremes[i];
        start->depth = extremes[(i + 1) % 10];
        start->eventInstance = extremes[(i + 2) % 10];
        start->methodArgToken = extremes[(i + 3) % 10];
        start->threadId = extremes[(i + 4) % 10];
        start->timeInMicroseconds = i % 2 ? UINT64_MAX - static_cast<uint64_t>(i) : 1700000000123456ULL * i;
        events.push_back(start);
        auto end = boost::make_shared<ZMethodEndEvent>();
        end->locationId = extremes[(i + 5) % 10];
        end->startEventInstanceId = extremes[(i + 6) % 10];
        end->flags = i % 3 == 0 ? ZMethodEndEvent::FLAG_EXCEPTION : (i % 3 == 1 ? 0x1FE : 0);
        end->exception.type = "RuntimeException";
        end->exception.trace = std::string(200 + i, 't');
        end->exception.message = i == 3 ? std::string() : "failed \xC3\xA9";
        events.push_back(end);
    }
    auto remoteStart = boost::make_shared<ZRemoteMethodStartEvent>();
    remoteStart->correlationToken = "";
    events.push_back(remoteStart);
    auto remoteEnd = boost::make_shared<ZRemoteMethodEndEvent>();
    remoteEnd->flags = 33;
    events.push_back(remoteEnd);
    auto asMethodEnd = boost::make_shared<ZRemoteMethodEndEvent>();
    asMethodEnd->type = METHOD_END;
    asMethodEnd->flags = 33;
    asMethodEnd->exception.message = "subclass";
    events.push_back(asMethodEnd);
    auto attribute = boost::make_shared<ZFragmentAttributeEvent>();
    attribute->name = "name";
    attribute->value = "value";
    events.push_back(attribute);
    events.push_back(boost::make_shared<ZHttpFragmentEndEvent>());
    for (int i = 0; i < 10; ++i) {
        auto httpStart = boost::make_shared<ZHttpFragmentStartEvent>();
        httpStart->transactionType = extremes[i];
        httpStart->uriToken = extremes[(i + 1) % 10];
        httpStart->remoteConsumerId = std::string(i * 20, 'c');
        httpStart->diagArg = i % 2 ? std::string() : "DIAG_ARG:type=http";
        httpStart->locationId = extremes[(i + 2) % 10];
        httpStart->timeInMicroseconds = UINT64_MAX - static_cast<uint64_t>(i);
        events.push_back(httpStart);
        auto fragmentStart = boost::make_shared<ZRemoteFragmentStartEvent>();
        fragmentStart->uriToken = extremes[(i + 3) % 10];
        fragmentStart->correlationToken = std::string(i * 30, '\xFF');
        fragmentStart->remoteConsumerId = "10.0.0." + std::to_string(i);
        fragmentStart->depth = extremes[(i + 4) % 10];
        events.push_back(fragmentStart);
        auto attributeAt = boost::make_shared<ZFragmentAttributeEvent>();
        attributeAt->threadId = extremes[(i + 5) % 10];
        attributeAt->txnInstanceId = 7;  // travels as 0
        attributeAt->name = i % 2 ? "HTTP_query" : "";
        attributeAt->value = std::string(i * 40, 'v');
        attributeAt->locationId = extremes[(i + 6) % 10];
        events.push_back(attributeAt);
        auto httpEnd = boost::make_shared<ZHttpFragmentEndEvent>();
        httpEnd->httpStatusCode = extremes[(i + 7) % 10];
        httpEnd->uriToken = extremes[(i + 8) % 10];
        httpEnd->threadId = extremes[(i + 9) % 10];
        events.push_back(httpEnd);
        auto fragmentEnd = boost::make_shared<ZRemoteFragmentEndEvent>();
        fragmentEnd->httpStatusCode = extremes[i];
        fragmentEnd->uriToken = extremes[(i + 5) % 10];
        fragmentEnd->adjustedEndTime = i % 2 ? INT64_MIN : INT64_MAX - i;
        events.push_back(fragmentEnd);
    }

    ZLocationTable locations;
    for (int i = 0; i < 20; ++i) {
        auto location = boost::make_shared<ZLocation>();
        location->id = i + 1;
        location->calleeClassNameToken = extremes[i % 10];
        location->calleeMethodNameToken = extremes[(i + 3) % 10];
        location->layerToken = 1000 + i;
        location->callerClassNameId = extremes[(i + 7) % 10];
        location->callerLineNumber = i * 100;
        locations.add(location);
    }
    ZSymbolTable symbols;
    symbols.add(std::string(300, 's'), -1);
    symbols.add("negative", INT32_MIN);
    for (int i = 0; i < 8; ++i)
        symbols.add("symbol " + std::to_string(i), -1);

    // What the generated records write for the same block.
    MemoryLog mem(3);
    ZEventsChannelThrift channel(mem.log);
    BlockMetaData block;
    for (const auto& event : events) {
        block.events.emplace_back();
        channel.toThriftEventDTO(event, block.events.back());
    }
    for (const auto& entry : locations.locations) {
        const ZLocation& location = *entry.second;
        LocationDTO dto;
        dto.id = location.id;
        dto.calleeClassNameToken = location.calleeClassNameToken;
        dto.calleeMethodNameToken = location.calleeMethodNameToken;
        dto.layerToken = location.layerToken;
        dto.callerClassNameId = location.callerClassNameId;
        dto.callerMethodNameId = location.callerMethodNameId;
        dto.callerLineNumber = location.callerLineNumber;
        dto.layerTypeId = location.layerTypeId;
        block.locations.push_back(dto);
    }
    for (const auto& entry : symbols.symbols) {
        block.symbols.emplace_back();
        block.symbols.back().token = entry.second;
        block.symbols.back().value = entry.first;
    }
    auto memory = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
    apache::thrift::protocol::TCompactProtocol out(memory);
    block.write(&out);
    const std::string expected = memory->getBufferAsString();

    LoopbackPeer peer(aggregatorScript());
    channel.handshake(handshakeData(peer.port()));
    const size_t handshake = expectedHandshakeBytes().size();
    channel.send(symbols, locations, events);
    ASSERT_TRUE(peer.waitForBytes(handshake + 4 + expected.size(), 2000));
    const std::string received = peer.received();
    ASSERT_EQ(received.size(), handshake + 4 + expected.size());
    EXPECT_EQ(bigEndian(received, handshake), expected.size());
    EXPECT_TRUE(received.substr(handshake + 4) == expected) << "the frame differs from the generated encoding";
}
