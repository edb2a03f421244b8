#pragma once

#include "common/Uri.h"
#include "common/VornLogLimiter.h"
#include "extension/url/IServerVariables.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/UrlRuleSet.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct QuilletGlobals;
class VornLog;

// Gives every request of a worker its URL and its collapsed path (the path
// rewritten by the first matching rule of the URL regex file, so that /user/17
// and /user/42 share one key), and keeps the URL table that all workers share:
// registration of collapsed paths, the unique-URI limit, and the per-path
// cross-VM sampling. Also answers whether the request came with a correlation
// header, and its raw value.
//
// One instance per worker process; every operation runs on the worker's one
// thread. The configuration record given at construction and the server
// variables source must outlive the manager. Without a server variables source
// (a server interface that offers no lookup) every variable counts as unset.
class ZUrlManager {
public:
    // One rule of the URL regex file (its compiled form is in the rule set,
    // at the same index).
    struct UrlRegex {
        std::string pattern;      // bytes of the line before its last "="
        std::string replacement;  // bytes of the line after its last "="
    };

    // Name of the server variable that carries the incoming correlation header
    // "X-Kolvane-Diag-HTTP-Color".
    static constexpr const char* CORRELATION_HEADER_VARIABLE = "HTTP_X_KOLVANE_DIAG_HTTP_COLOR";
    // Bytes of entry space of a new URL table.
    static constexpr unsigned long URL_TABLE_SIZE = 0x500000;
    // Larger URL regex files are read up to this many bytes only.
    static constexpr std::size_t MAX_REGEX_FILE_BYTES = 1024 * 1024;
    // Warnings about single rules written by one load; the rest are counted.
    static constexpr int MAX_RULE_WARNINGS = 20;

    explicit ZUrlManager(const QuilletGlobals& globals, const IServerVariables* serverVariables = nullptr);
    ZUrlManager(const QuilletGlobals& globals, const IServerVariables& serverVariables)
        : ZUrlManager(globals, &serverVariables)
    {
    }
    ~ZUrlManager();

    ZUrlManager(const ZUrlManager&) = delete;
    ZUrlManager& operator=(const ZUrlManager&) = delete;

    // Module start-up: (re)loads installDir + "/etc/url-regex.txt". A missing
    // file gives no rules; one that cannot be read gives none and a WARNING;
    // an invalid pattern, one with a back-reference or another construct RE2
    // cannot match with the same meaning, or one past the bounds of
    // UrlRuleSet, alone or after the rules before it, is left out with a
    // WARNING. A rule that needs "^" or "$" to match is kept, with a WARNING
    // that it never matches. At most MAX_RULE_WARNINGS such lines, then one
    // that counts the rest. Lines may end with LF or CR LF.
    void loadRegexFile(VornLog& log, const std::wstring& installDir);

    // Request activation: opens the semaphore and the URL table, once per
    // process. Tried again at the next request only after an error.
    void initialize(VornLog& log);

    // The request's URL from the server variables, built once per request; empty
    // (and not remembered) when there is no "HTTP_HOST". The text stays valid
    // until the next call or request.
    const std::string& getCurrentURL(VornLog& log);

    // The request's URL split into its parts, with the collapsed path, cut to
    // at most ZShmUrlHash::MAX_KEY_BYTES bytes of UTF-8. With lock
    // true the collapsed path is registered in the URL table (value 0) under the
    // table's semaphore, unless it is already there. A wait on the semaphore
    // that fails otherwise than by time-out raises
    // boost::interprocess::interprocess_exception. The URI is the manager's
    // own, valid until the next call: copy it to keep it.
    const vorn::Uri& getCurrentURI(VornLog& log, bool lock);

    // Request activation: forgets the previous request's URL.
    void requestCleanup() { cachedUrl.clear(); }

    // `name` with every ".", "/", "-", "@" and "*" replaced by "_".
    static std::string getSemaphoreName(const std::string& name);

    // True while the URL table holds more collapsed paths than qx.max_uris.
    bool isMaxUriLimitHit() const;

    // Request activation, in one hold of the table's lock (the lock costs
    // system calls): true when the request's collapsed path is in the table,
    // whatever the count. A new path is registered (value 0) and true while
    // the table holds no more than qx.max_uris paths and has room for it;
    // otherwise false, with a WARNING the first time and then at most once
    // a minute. When the lock cannot be taken in time, or there is no usable
    // table, true and nothing registered, as for an empty table.
    bool admitRequest(VornLog& log);

    // Whether this request is the cross-VM sample of its collapsed path: the path
    // was never sampled, or last sampled more than qx.crossvm_sampling seconds
    // ago. Adds no entry. The caller normally holds the semaphore (lock false).
    bool sampleCrossVM(VornLog& log, bool lock);

    // Records now as the last sample time of the request's collapsed path.
    void updateUrlTimestamp(VornLog& log, bool lock);

    // The cross-VM decision, in one hold of the table's lock: whether this
    // request is the sample of its collapsed path (sampleCrossVM), recording
    // now as the path's sample time when it is. False when the lock cannot be
    // taken in time (already logged).
    bool takeCrossVmSample(VornLog& log);

    // True when the request carries the correlation header, even an empty one.
    bool hasCrossVmHttpHeader(VornLog& log) const;

    // The correlation header's raw value; false (and empty) without the header.
    bool getCorrelationToken(std::string& token) const;

    void setServerVariables(const IServerVariables* source) { serverVariables = source; }

    ZShmUrlHash& getUrlTable() { return urlTable; }
    bool isInitialized() const { return initialized; }
    const std::vector<UrlRegex>& getRegexes() const { return regexes; }

    // Where the shared objects live. Defaults: semaphore "/UrlTableSem", table
    // "UrlTableShm" in qx.install_dir + "/tmp" (an empty `tableDir`).
    void setSharedNames(const std::string& semaphoreName, const std::string& tableName,
                        const std::string& tableDir);
    // Longest wait for the table's semaphore before an operation gives up.
    void setSemaphoreWaitLimit(std::chrono::milliseconds limit) { waitLimit = limit; }
    // Source of the current time in seconds (default: the system clock).
    void setClock(std::function<std::time_t()> source) { clock = std::move(source); }

private:
    void clearRegexes();
    // With the table's lock held: adds the request's collapsed path (value 0)
    // unless it is there.
    void registerPathUnlocked();
    bool limitHit(unsigned long count) const;
    // A new path was left uncollected: at the limit, or the table is full.
    void logPathRefused(VornLog& log, bool tableFull);
    bool lookup(const std::string& name, std::string& value) const;
    std::time_t now() const;

    std::wstring regexFilePath;
    std::vector<UrlRegex> regexes;
    bool initialized = false;
    ZShmUrlHash urlTable;
    std::string cachedUrl;
    // The rules' answer for the last path they were run on.
    bool collapseValid = false;
    bool collapseMatched = false;
    std::string collapseSubject;
    std::wstring collapseResult;
    // The URI last built and the URL it was built from: a request asks for
    // it at activation and again at deactivation.
    bool uriValid = false;
    std::string uriSource;
    vorn::Uri uriBuilt;
    std::string uriKey;  // its collapsed path as the URL table's key

    const QuilletGlobals& globals;
    const IServerVariables* serverVariables;
    std::string semaphoreName;
    std::string tableName;
    std::string tableDir;
    std::chrono::milliseconds waitLimit;
    std::function<std::time_t()> clock;
    UrlRuleSet ruleSet;
    VornLogLimiter refusedPaths{std::chrono::minutes(1)};
    VornLogLimiter matchFailures;
};
