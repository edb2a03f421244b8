#include "daemon/zCURL.h"

#include <curl/curl.h>

#include <memory>

#include "common/VornUtils.h"
#include "common/zException.h"

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// The body of an answer is untrusted: keep a log line a single line and free
// of control bytes.
std::string printable(const char* data, std::size_t count)
{
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 && c != '\t')
            out += '?';
        else if (c == 0x7f)
            out += '?';
        else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

zCURL::zCURL(const VornLog& log) : _response(), _log(log) {}

long zCURL::post(const std::wstring& url, const std::wstring& body, const std::vector<std::wstring>& headers)
{
    const std::string utf8Body = vorn::fromUtf(body);
    return perform(url, &utf8Body, headers);
}

long zCURL::get(const std::wstring& url, const std::vector<std::wstring>& headers)
{
    return perform(url, nullptr, headers);
}

long zCURL::perform(const std::wstring& url, const std::string* body, const std::vector<std::wstring>& headers)
{
    _response.clear();

    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle)
        throw zException(L"HTTP client could not be initialised");
    CURL* curl = handle.get();

    const std::string utf8Url = vorn::fromUtf(url);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_URL, utf8Url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Vorn PHP Probe Agent");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &zCURL::writeCallbackMemory);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    // The daemon runs one thread with its own signal handling: libcurl must
    // neither raise nor catch signals, and no request may run unbounded.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);

    curl_slist* rawList = nullptr;
    for (const std::wstring& header : headers) {
        curl_slist* next = curl_slist_append(rawList, vorn::fromUtf(header).c_str());
        if (!next) {
            curl_slist_free_all(rawList);
            throw zException(L"HTTP client could not build the header list");
        }
        rawList = next;
    }
    std::unique_ptr<curl_slist, ListDeleter> list(rawList);

    if (body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }

    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    CURLcode rc = curl_easy_perform(curl);
    list.reset();

    if (rc != CURLE_OK)
        throw zException(vorn::toUtf(curl_easy_strerror(rc)));

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::size_t zCURL::writeCallbackMemory(void* data, std::size_t size, std::size_t count, void* client)
{
    const std::size_t bytes = size * count;
    zCURL* self = static_cast<zCURL*>(client);
    if (!self || !data)
        return bytes;
    // libcurl is C: an exception must not unwind through it. Keeping or
    // logging a piece can only fail for lack of memory; the transfer is then
    // aborted (a short count), which comes back as a transport failure.
    try {
        const std::size_t room = self->_response.size() < kMaxResponseBytes
                                     ? kMaxResponseBytes - self->_response.size() : 0;
        const std::size_t kept = bytes < room ? bytes : room;
        if (kept > 0) {
            const char* piece = static_cast<const char*>(data);
            if (self->_log.enabled(VornLog::LEVEL_DBG2))
                self->_log.logDbg2("<CURL>", printable(piece, kept));
            self->_response.append(piece, kept);
        }
    } catch (...) {
        return 0;
    }
    return bytes;
}
