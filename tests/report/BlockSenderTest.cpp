#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "extension/report/ZBlockSender.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A connected pair: the sender writes to `ours`, the test reads `theirs`.
struct Pair {
    int ours = -1;
    int theirs = -1;
    Pair()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~Pair()
    {
        closeTheirs();
        if (ours >= 0)
            ::close(ours);
    }
    void closeTheirs()
    {
        if (theirs >= 0)
            ::close(theirs);
        theirs = -1;
    }
    // What arrives until `count` bytes are there or `limit` passed.
    std::string read(std::size_t count, std::chrono::milliseconds limit)
    {
        std::string got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{theirs, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(theirs, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
};

bool queue(ZBlockSender& sender, const std::string& frame, std::string& why)
{
    return sender.enqueue(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), why);
}

TEST(BlockSender, FramesGoOutInOrderWithoutAFurtherCall)
{
    Pair pair;
    ZBlockSender sender(20ms);
    sender.attach(pair.ours, 500ms);
    ASSERT_TRUE(sender.threaded());
    std::string why;
    ASSERT_TRUE(queue(sender, "first|", why));
    ASSERT_TRUE(queue(sender, "second|", why));
    // An idle worker makes no further call: the thread writes on its own.
    EXPECT_EQ("first|second|", pair.read(13, 2000ms));
    ASSERT_TRUE(queue(sender, "third|", why));
    EXPECT_EQ("", sender.flush());
    EXPECT_EQ("third|", pair.read(6, 100ms));
    EXPECT_EQ("", sender.detach(true));
    EXPECT_FALSE(queue(sender, "late", why));
    EXPECT_EQ("Event channel is not connected", why);
}

TEST(BlockSender, StoppingWritesWhatIsQueuedAndLaterFramesGoOutDirectly)
{
    Pair pair;
    ZBlockSender sender(std::chrono::milliseconds(60000));
    sender.attach(pair.ours, 500ms);
    std::string why;
    ASSERT_TRUE(queue(sender, "queued|", why));
    const auto start = Clock::now();
    ZBlockSender::stopAll();
    EXPECT_LT(Clock::now() - start, 2s);  // not the minute of lingering
    EXPECT_EQ("queued|", pair.read(7, 1000ms));
    EXPECT_FALSE(sender.threaded());
    ASSERT_TRUE(queue(sender, "direct", why));
    EXPECT_EQ("direct", pair.read(6, 1000ms));
}

TEST(BlockSender, PeerClosingIsNoticedWhileWaitingAndReportedUntilReattached)
{
    Pair pair;
    ZBlockSender sender(std::chrono::milliseconds(60000));
    sender.attach(pair.ours, 500ms);
    std::string why;
    ASSERT_TRUE(queue(sender, "a", why));
    ASSERT_TRUE(queue(sender, "b", why));
    pair.closeTheirs();  // no write is due for a minute: the thread sees the close itself
    std::string failure;
    for (int i = 0; i < 200 && failure.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        if (!queue(sender, "c", failure))
            break;
        failure.clear();
    }
    EXPECT_NE(std::string::npos, failure.find("closed the connection")) << failure;
    EXPECT_NE(std::string::npos, failure.find("blocks not delivered")) << failure;
    EXPECT_EQ(failure, sender.flush());
    EXPECT_EQ(failure, sender.detach(false));

    Pair next;
    sender.attach(next.ours, 500ms);
    ASSERT_TRUE(queue(sender, "d", why));
    EXPECT_EQ("", sender.flush());
    EXPECT_EQ("d", next.read(1, 1000ms));
}

TEST(BlockSender, ForkedChildNeverWritesItsParentsQueue)
{
    Pair pair;
    ZBlockSender sender(50ms);
    sender.attach(pair.ours, 500ms);
    std::string why;
    ASSERT_TRUE(queue(sender, "parent|", why));
    const pid_t child = ::fork();
    if (child == 0) {
        std::string childWhy;
        const bool queued = queue(sender, "child|", childWhy);
        const bool idle = !sender.threaded() && sender.flush().empty();
        ::_exit(!queued && childWhy == "Event channel is not connected" && idle ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("", sender.flush());
    EXPECT_EQ("parent|", pair.read(100, 300ms));
}

} // namespace
