#pragma once
// zCURL: the daemon's synchronous HTTP client over libcurl's easy interface.
// A fresh instance serves one health check or one registration attempt. Only
// the HTTP status matters to the caller; a transport failure (time-outs
// included) is thrown as zException with libcurl's text.

#include <cstddef>
#include <string>
#include <vector>

#include "common/VornLog.h"

class zCURL {
public:
    // Bounds that make every request end in bounded time and size, whatever
    // the server does: one hung or hostile server must not freeze the daemon.
    static constexpr long kConnectTimeoutMs = 5000;
    static constexpr long kTotalTimeoutMs = 10000;
    static constexpr long kMaxRedirects = 5;
    // Bytes of response body kept (and logged); the rest is read and dropped.
    static constexpr std::size_t kMaxResponseBytes = 64 * 1024;

    explicit zCURL(const VornLog& log);

    long post(const std::wstring& url, const std::wstring& body, const std::vector<std::wstring>& headers);
    long get(const std::wstring& url, const std::vector<std::wstring>& headers);

    static std::size_t writeCallbackMemory(void* data, std::size_t size, std::size_t count, void* client);

    const std::string& response() const { return _response; }

private:
    long perform(const std::wstring& url, const std::string* body, const std::vector<std::wstring>& headers);

    std::string _response;
    VornLog _log;
};
