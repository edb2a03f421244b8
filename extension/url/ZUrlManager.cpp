#include "extension/url/ZUrlManager.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/config/QuilletGlobals.h"
#include "extension/url/UrlRulePattern.h"

#include <boost/interprocess/exceptions.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

// The server variables read, named as the look-up takes them (once, not at
// every look-up of every request).
const std::string kHostVariable = "HTTP_HOST";
const std::string kHttpsVariable = "HTTPS";
const std::string kPortVariable = "SERVER_PORT";
const std::string kRequestUriVariable = "REQUEST_URI";
const std::string kCorrelationVariable = ZUrlManager::CORRELATION_HEADER_VARIABLE;

// The path's own bytes: the URL was read one byte per character, so each
// character is one byte again. (Nothing above U+00FF can occur; such a
// character would be written as UTF-8.)
std::string bytesOf(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (static_cast<uint32_t>(c) <= 0xFF)
            out.push_back(static_cast<char>(static_cast<unsigned char>(c)));
        else
            out += vorn::fromUtf(std::wstring(1, c));
    }
    return out;
}

// The replacement of the rule that matched, with its group references filled in.
std::string replaced(const std::string& replacement, const UrlRuleSet::Match& match)
{
    // References in ascending byte order of their text: "$0".."$9", then
    // "\0".."\9"; each replaces its first occurrence only.
    std::string result = replacement;
    for (char sigil : {'$', '\\'}) {
        for (int i = 0; i < match.groupCount; ++i) {
            const std::string key{sigil, static_cast<char>('0' + i)};
            vorn::strReplace(result, key, match.groups[i]);
        }
    }
    return result;
}

// Whether a replacement names a group ("$N" or "\\N"): only then is the
// rule's match needed beyond the fact that it matched.
bool namesGroups(const std::string& replacement)
{
    for (std::size_t i = 0; i + 1 < replacement.size(); ++i)
        if ((replacement[i] == '$' || replacement[i] == '\\') && replacement[i + 1] >= '0' && replacement[i + 1] <= '9')
            return true;
    return false;
}

// Cuts a collapsed path to the table's longest key: at most `limit` bytes of
// UTF-8, at a character boundary. The characters are the path's bytes read
// one per character; when the cut falls inside a UTF-8 sequence of those
// bytes, it moves back to the sequence's start, so that the bytes kept are
// no broken character either. A plain cut, without a mark or a digest of the
// rest: paths that share their first kilobyte are one path to the table and
// to the aggregator, in every worker and every run, as if a rule collapsed
// them.
void cutToKeyLength(std::wstring& path, std::size_t limit)
{
    std::size_t bytes = 0;
    std::size_t cut = 0;
    for (; cut < path.size(); ++cut) {
        const uint32_t c = static_cast<uint32_t>(path[cut]);
        const std::size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (bytes + n > limit)
            break;
        bytes += n;
    }
    if (cut == path.size())
        return;
    auto continuation = [&path](std::size_t i) { return path[i] >= 0x80 && path[i] <= 0xBF; };
    std::size_t start = cut;
    while (start > 0 && cut - start < 3 && continuation(start))
        --start;
    if (start < cut && path[start] >= 0xC2 && path[start] <= 0xF4)
        cut = start;
    path.resize(cut);
}

// Length of the part of a Host header value that can be a host and port:
// up to the first delimiter of a URL's path, query or fragment, backslash,
// blank or control character.
std::size_t hostLength(const std::string& host)
{
    for (std::size_t i = 0; i < host.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(host[i]);
        if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '\\')
            return i;
    }
    return host.size();
}

} // namespace

ZUrlManager::ZUrlManager(const QuilletGlobals& globals, const IServerVariables* serverVariables)
    : globals(globals),
      serverVariables(serverVariables),
      semaphoreName(ZNamedSemaphore::posixNameOf(ZShmUrlHash::getUrlShmLockerName())),
      tableName(ZShmUrlHash::getUrlShmName()),
      waitLimit(ZNamedSemaphore::defaultWaitLimit())
{
}

ZUrlManager::~ZUrlManager()
{
    clearRegexes();
}

void ZUrlManager::clearRegexes()
{
    regexes.clear();
    ruleSet.clear();
    collapseValid = false;
}

void ZUrlManager::setSharedNames(const std::string& semaphore, const std::string& table, const std::string& dir)
{
    semaphoreName = ZNamedSemaphore::posixNameOf(semaphore);
    tableName = table;
    tableDir = dir;
}

bool ZUrlManager::lookup(const std::string& name, std::string& value) const
{
    return serverVariables != nullptr && serverVariables->lookup(name, value);
}

std::time_t ZUrlManager::now() const
{
    return clock ? clock() : std::time(nullptr);
}

void ZUrlManager::loadRegexFile(VornLog& log, const std::wstring& installDir)
{
    regexFilePath = installDir + L"/etc/url-regex.txt";
    clearRegexes();
    log.logDbg1(L"Loading URL regex file:", regexFilePath);

    // Read as bytes: rules may hold any bytes (UTF-8 paths included) and are
    // matched against the path's own bytes.
    // A FIFO in the file's place would hold the module start-up: only a
    // regular file is read.
    std::string content;
    bool truncated = false;
    int readError = 0;
    const vorn::FileRead result =
        vorn::readRegularFile(vorn::fromUtf(regexFilePath), MAX_REGEX_FILE_BYTES, content, truncated, &readError);
    if (result == vorn::FileRead::NotRegularFile)
        log.logWarning(L"URL regex file is not a regular file and is not read:", regexFilePath);
    // A missing file means no rules; one that is there but cannot be read is
    // a mistake worth a line.
    if ((result == vorn::FileRead::CannotOpen && readError != ENOENT) || result == vorn::FileRead::ReadError)
        log.logWarning(L"URL regex file cannot be read and is not used:", regexFilePath, L":",
                       std::strerror(readError));
    if (result != vorn::FileRead::Ok)
        return;
    if (truncated)
        log.logWarning(L"URL regex file is larger than", static_cast<unsigned long>(MAX_REGEX_FILE_BYTES),
                       L"bytes; the rest is ignored:", regexFilePath);

    // Warnings about single rules: the first few, then how many more.
    int warnings = 0;
    int firstUnlisted = 0;
    auto warnRule = [&](int lineNumber, const wchar_t* what, const std::string& pattern, const std::string& why) {
        if (++warnings <= MAX_RULE_WARNINGS)
            log.logWarning(what, VornLog::untrusted(pattern), L".", why);
        else if (firstUnlisted == 0)
            firstUnlisted = lineNumber;
    };

    size_t start = 0;
    int lineNumber = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        // A file written on Windows ends its lines with CR LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();

        const size_t eq = line.rfind('=');
        if (eq == std::string::npos)
            continue;
        UrlRegex rule{};
        rule.pattern = line.substr(0, eq);
        rule.replacement = line.substr(eq + 1);

        if (rule.pattern.find('\0') != std::string::npos) {
            warnRule(lineNumber, L"Invalid regular expression:", rule.pattern, "It contains a NUL byte");
            continue;
        }
        const UrlRuleSet::Added added = ruleSet.add(rule.pattern, namesGroups(rule.replacement));
        if (added.verdict == UrlRuleSet::Verdict::Invalid) {
            warnRule(lineNumber, L"Invalid regular expression:", rule.pattern, added.reason);
            continue;
        }
        if (added.verdict != UrlRuleSet::Verdict::Accepted) {
            warnRule(lineNumber, L"URL rule refused:", rule.pattern, added.reason);
            continue;
        }
        if (UrlRulePattern::needsLineAnchor(rule.pattern))
            warnRule(lineNumber, L"URL rule can never match:", rule.pattern,
                     "Rules are matched anywhere in the path, where ^ and $ never match");
        regexes.push_back(std::move(rule));
    }
    if (warnings > MAX_RULE_WARNINGS)
        log.logWarning(static_cast<unsigned long>(warnings - MAX_RULE_WARNINGS),
                       L"more URL rules were refused or can never match, not listed; the first at line",
                       static_cast<unsigned long>(firstUnlisted), L"of", regexFilePath);
    std::string error;
    if (!ruleSet.compile(error)) {
        log.logWarning(L"URL rules are not used:", error);
        regexes.clear();
    }
}

void ZUrlManager::initialize(VornLog& log)
{
    if (initialized)
        return;
    log.logDbg1(L"Initializing URL manager. ProbeID:", tableName);
    try {
        urlTable.setSemaphore(std::make_shared<ZNamedSemaphore>(semaphoreName, &log, waitLimit));
        const std::string dir = tableDir.empty() ? vorn::fromUtf(globals.install_dir) + "/tmp" : tableDir;
        // While this process may use the table, no other start-up removes it.
        ZShmUrlHash::holdInUse(tableName, dir);
        // When the semaphore could not be taken in time nothing was tried; the
        // next request tries again.
        if (!urlTable.open(log, tableName, dir, URL_TABLE_SIZE))
            return;
        initialized = true;
    } catch (const ZNamedSemaphore::Error& e) {
        log.logError(e.what());
        // A file that is not a semaphore of ours stays so until somebody
        // removes it: as with a damaged table, this process goes on without
        // the URL table rather than try, and log, at every request.
        if (e.lasting()) {
            log.logError(L"The URL table is not used by this process.");
            initialized = true;
        }
    } catch (const boost::interprocess::interprocess_exception& e) {
        log.logError(e.what());
    }
}

const std::string& ZUrlManager::getCurrentURL(VornLog& log)
{
    if (!cachedUrl.empty())
        return cachedUrl;

    std::string host;
    if (!lookup(kHostVariable, host))
        return cachedUrl;  // empty, so looked up again at the next call

    // The host comes from the client's Host header: a "/", "?" or "#" in it
    // would move where the path and the query are read from the URL, so the
    // host ends at the first character a host and port cannot hold.
    const std::size_t hostEnd = hostLength(host);
    if (hostEnd < host.size()) {
        log.logDbg1(L"Host header holds characters a host cannot; only its start is used:", VornLog::untrusted(host));
        host.resize(hostEnd);
    }

    // Built in place, so that the text's buffer serves one request after
    // another; a build cut short by a failure leaves no URL behind.
    std::string value;
    std::string& url = cachedUrl;
    try {
        if (lookup(kHttpsVariable, value) && strcasecmp(value.c_str(), "off") != 0)
            url.assign("https://");
        else
            url.assign("http://");
        url += host;
        // A host that carries a port (or is an IPv6 literal) gets no second one.
        if (lookup(kPortVariable, value) && host.find(':') == std::string::npos)
            url.append(1, ':').append(value);
        if (lookup(kRequestUriVariable, value))
            url += value;
    } catch (...) {
        url.clear();
        throw;
    }

    log.logDbg1(L"Current URL is:", VornLog::untrusted(url));
    return cachedUrl;
}

const vorn::Uri& ZUrlManager::getCurrentURI(VornLog& log, bool lock)
{
    const std::string& url = getCurrentURL(log);
    // The rules run once per path, not per call; the URL is parsed once per
    // URL (the rules' answer is kept with it).
    if (!uriValid || !collapseValid || url != uriSource) {
        vorn::Uri uri = vorn::parseURL(vorn::toUtf(url));
        uri.collapsedPath = uri.path;

        if (!regexes.empty()) {
            std::string subject = bytesOf(uri.path);
            if (!collapseValid || subject != collapseSubject) {
                collapseValid = false;
                collapseMatched = false;
                UrlRuleSet::Match match;
                std::string error;
                // The client's path decides when this happens: spaced out.
                if (!ruleSet.match(subject, match, error))
                    log.logLimitedWarning(matchFailures, VornLogLimiter::Clock::now(), error, "");
                else if (match.rule >= 0) {
                    collapseResult =
                        vorn::toUtf(replaced(regexes[static_cast<std::size_t>(match.rule)].replacement, match));
                    collapseMatched = true;
                }
                collapseSubject = std::move(subject);
                collapseValid = true;
            }
            if (collapseMatched)
                uri.collapsedPath = collapseResult;
        } else {
            collapseValid = true;
            collapseMatched = false;
            collapseSubject.clear();
        }
        uriValid = false;
        cutToKeyLength(uri.collapsedPath, ZShmUrlHash::MAX_KEY_BYTES);
        uriKey = vorn::fromUtf(uri.collapsedPath);
        uriBuilt = std::move(uri);
        uriSource = url;
        uriValid = true;
    }

    if (lock) {
        ZShmUrlHash::ZSemLocker locker(urlTable);
        if (locker.owns())
            registerPathUnlocked();
    }
    return uriBuilt;
}

void ZUrlManager::registerPathUnlocked()
{
    // Look-up and insertion under one hold, so that a sample time written by
    // another worker is never reset to 0.
    if (!urlTable.containsKey(uriKey, false))
        urlTable.updateKey(uriKey, 0, false);
}

bool ZUrlManager::admitRequest(VornLog& log)
{
    getCurrentURI(log, false);  // sets uriKey
    bool tableFull = false;
    {
        ZShmUrlHash::ZSemLocker locker(urlTable);
        if (!locker.owns() || urlTable.containsKey(uriKey, false))
            return true;
        // Only a new path counts against the limit: the paths already in the
        // table stay collected, however many there are.
        if (!limitHit(urlTable.size(false))) {
            if (urlTable.updateKey(uriKey, 0, false) != ZShmUrlHash::Added::NoRoom)
                return true;
            tableFull = true;
        }
    }
    logPathRefused(log, tableFull);
    return false;
}

void ZUrlManager::logPathRefused(VornLog& log, bool tableFull)
{
    const auto at = clock ? VornLogLimiter::Clock::time_point(std::chrono::seconds(clock()))
                          : VornLogLimiter::Clock::now();
    const std::string what = tableFull
        ? std::string("The URL table is full:")
        : "The URL table holds qx.max_uris = " + std::to_string(globals.max_uris) + " collapsed paths:";
    const VornLogLimiter::Verdict verdict = refusedPaths.failed(what, at);
    if (!verdict.write)
        return;
    if (verdict.unwritten == 0)
        log.logWarning(what, L"requests to paths not in it are not collected until the server restarts");
    else
        log.logWarning(what, L"requests to paths not in it are not collected until the server restarts",
                       "(" + std::to_string(verdict.unwritten) + " more since the last such line)");
}

bool ZUrlManager::takeCrossVmSample(VornLog& log)
{
    ZShmUrlHash::ZSemLocker locker(urlTable);
    if (!locker.owns() || !sampleCrossVM(log, false))
        return false;
    updateUrlTimestamp(log, false);
    return true;
}

std::string ZUrlManager::getSemaphoreName(const std::string& name)
{
    std::string out = name;
    for (char c : {'.', '/', '-', '@', '*'})
        for (char& ch : out)
            if (ch == c)
                ch = '_';
    return out;
}

bool ZUrlManager::limitHit(unsigned long count) const
{
    const auto limit = static_cast<uint64_t>(static_cast<int64_t>(globals.max_uris));
    return static_cast<uint64_t>(count) > limit;
}

bool ZUrlManager::isMaxUriLimitHit() const
{
    return limitHit(urlTable.size(true));
}

bool ZUrlManager::sampleCrossVM(VornLog& log, bool lock)
{
    const vorn::Uri& uri = getCurrentURI(log, false);
    long last = 0;
    if (!urlTable.valueKey(uriKey, last, lock)) {
        log.logDbg2(L"URL:", VornLog::untrusted(uri.collapsedPath), L"does not exist in shared memory");
        return true;
    }
    if (last == 0) {
        log.logDbg2(L"URL:", VornLog::untrusted(uri.collapsedPath), L"first time seen");
        return true;
    }
    int64_t elapsed = 0;
    // A stored time far in the past (a damaged value) counts as long ago.
    if (__builtin_sub_overflow(static_cast<int64_t>(now()), static_cast<int64_t>(last), &elapsed))
        return static_cast<int64_t>(last) < 0;
    return elapsed > static_cast<int64_t>(globals.crossvm_sampling);
}

void ZUrlManager::updateUrlTimestamp(VornLog& log, bool lock)
{
    getCurrentURI(log, false);  // sets uriKey, the table's key of the request's URI
    urlTable.updateKey(uriKey, static_cast<long>(now()), lock);
}

bool ZUrlManager::hasCrossVmHttpHeader(VornLog& /*log*/) const
{
    std::string value;
    return lookup(kCorrelationVariable, value);
}

bool ZUrlManager::getCorrelationToken(std::string& token) const
{
    token.clear();
    std::string value;
    if (!lookup(kCorrelationVariable, value))
        return false;
    // The server hands the value over as a C string: it ends at its first NUL.
    token = value.substr(0, value.find('\0'));
    return true;
}
