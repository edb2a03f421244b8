#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/zException.h"
#include "daemon/zCURL.h"

namespace {

// A TCP socket bound to a free loopback port, which is stored in `port`.
int boundLoopbackSocket(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// A loopback listener on a free port that answers one connection with a
// canned reply after reading the request head and body.
class OneShotServer {
public:
    explicit OneShotServer(std::string reply) : _reply(std::move(reply))
    {
        _fd = boundLoopbackSocket(port);
        listen(_fd, 1);
        _thread = std::thread([this] { serve(); });
    }
    ~OneShotServer()
    {
        shutdown(_fd, SHUT_RDWR);
        close(_fd);
        _thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/p"; }

    int port = 0;
    std::string request;

private:
    void serve()
    {
        timeval tv{5, 0};
        int c = accept(_fd, nullptr, nullptr);
        if (c < 0)
            return;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[4096];
        while (true) {
            const std::size_t head = request.find("\r\n\r\n");
            if (head != std::string::npos) {
                const std::size_t cl = request.find("Content-Length: ");
                const std::size_t body = cl == std::string::npos ? 0 : std::stoul(request.substr(cl + 16));
                if (request.size() >= head + 4 + body)
                    break;
            }
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        for (std::size_t off = 0; off < _reply.size();) {
            ssize_t n = send(c, _reply.data() + off, _reply.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += static_cast<std::size_t>(n);
        }
        close(c);
    }

    int _fd;
    std::string _reply;
    std::thread _thread;
};

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(zCURL, PostSendsBodyAndHeadersInOrder)
{
    OneShotServer server("HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    VornLog log;
    zCURL curl(log);
    const long status = curl.post(wide(server.url()), L"{\"a\":\"\u00e9\"}", {L"X-First: 1", L"X-Second: 2"});
    EXPECT_EQ(status, 201);
    EXPECT_EQ(curl.response(), "ok");
    const std::string& r = server.request;
    EXPECT_EQ(r.compare(0, 8, "POST /p "), 0) << r;
    EXPECT_NE(r.find("User-Agent: Vorn PHP Probe Agent\r\n"), std::string::npos);
    EXPECT_LT(r.find("X-First: 1"), r.find("X-Second: 2"));
    EXPECT_EQ(r.substr(r.size() - 10), "{\"a\":\"\xC3\xA9\"}");
}

// Redirects are followed: the status is that of the last answer.
TEST(zCURL, FollowsARedirectToItsFinalStatus)
{
    OneShotServer target("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nhere");
    OneShotServer mover("HTTP/1.1 302 Found\r\nLocation: " + target.url() +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    VornLog log;
    zCURL curl(log);
    EXPECT_EQ(curl.get(wide(mover.url()), {}), 200);
    EXPECT_EQ(curl.response(), "here");
    EXPECT_EQ(target.request.compare(0, 7, "GET /p "), 0) << target.request;
}

TEST(zCURL, KeepsABoundedPartOfAHugeAnswer)
{
    const std::string body(300 * 1024, 'b');
    OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body);
    VornLog log;
    zCURL curl(log);
    EXPECT_EQ(curl.get(wide(server.url()), {}), 200);
    EXPECT_EQ(curl.response().size(), zCURL::kMaxResponseBytes);
}

// The body of an answer reaches the log only at the finest level, and only as
// one line with its control bytes made visible.
TEST(zCURL, AnswerBodyIsLoggedAsOneSafeLineAtLevel4)
{
    char pattern[] = "/tmp/qx-daemon-curl-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/log";
    for (int level : {3, 4}) {
        OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\na\nb\x01\rc");
        VornLog log;
        log.path = wide(path);
        log.level = level;
        log.open();
        zCURL curl(log);
        EXPECT_EQ(curl.get(wide(server.url()), {}), 200);
        EXPECT_EQ(curl.response(), "a\nb\x01\rc");
        if (log.file)
            fclose(log.file);
    }
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    rmdir(pattern);
    const std::string tail = "[DBG2] <CURL> a\\nb?\\rc\n";
    ASSERT_GE(all.size(), tail.size());
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1) << all;
}

TEST(zCURL, TransportFailuresThrowLibcurlText)
{
    int port = 0;
    close(boundLoopbackSocket(port));  // nothing listens there now

    VornLog log;
    zCURL curl(log);
    try {
        curl.get(L"http://127.0.0.1:" + std::to_wstring(port) + L"/", {});
        FAIL() << "no exception";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Couldn't connect to server");
    }
    // Only HTTP and HTTPS are spoken.
    EXPECT_THROW(curl.get(L"file:///etc/hostname", {}), zException);
}

} // namespace
