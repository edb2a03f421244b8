#include "extension/crossvm/CrossVmHandlerBase.h"

#include <chrono>
#include <cstring>
#include <exception>

#include <boost/make_shared.hpp>

#include "php.h"
#include "php_globals.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/crossvm/CrossVmRules.h"
#include "extension/crossvm/ZCrossVmManager.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/instrumentation/Manager.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/sql/SqlHandlerSupport.h"
#include "extension/sql/ZSqlHandlerBase.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/ZUrlManager.h"

CrossVmCallInfo::~CrossVmCallInfo() = default;

CrossVmHandlerBase::CrossVmHandlerBase() = default;

CrossVmHandlerBase::~CrossVmHandlerBase() = default;

void CrossVmHandlerBase::cleanup()
{
    callInfos.clear();
    pending.clear();
    recordsFullLogged = false;
}

std::vector<std::wstring> CrossVmHandlerBase::functionKeys() const
{
    std::vector<std::wstring> keys;
    for (const auto& entry : handlers)
        keys.push_back(entry.first);
    return keys;
}

std::shared_ptr<CrossVmCallInfo> CrossVmHandlerBase::insertResourceID(uint64_t id)
{
    callInfos.erase(id);
    if (callInfos.size() >= MAX_CALL_INFOS) {
        if (!recordsFullLogged)
            Manager::LOG.logWarning("Too many outgoing HTTP handles in this request; later ones are not followed");
        recordsFullLogged = true;
        return std::shared_ptr<CrossVmCallInfo>();
    }
    auto info = std::make_shared<CrossVmCallInfo>();
    info->resourceId = id;
    callInfos[id] = info;
    return info;
}

std::shared_ptr<CrossVmCallInfo> CrossVmHandlerBase::getCallInfo(uint64_t id) const
{
    auto found = callInfos.find(id);
    return found == callInfos.end() ? std::shared_ptr<CrossVmCallInfo>() : found->second;
}

std::size_t CrossVmHandlerBase::deleteCallInfo(uint64_t id)
{
    return callInfos.erase(id);
}

CrossVmHandlerBase* CrossVmHandlerBase::GetThis(eCrossVMHandlerID id)
{
    Manager* manager = _manager;
    if (manager == nullptr)
        return nullptr;
    return manager->crossVmManager.handlers.at(static_cast<std::size_t>(id)).get();
}

std::size_t CrossVmHandlerBase::pushPending(const std::string& url, const std::string& token)
{
    pending.push_back(PendingCall{url, token});
    return pending.size() - 1;
}

bool CrossVmHandlerBase::popPending(std::size_t slot, PendingCall& call)
{
    if (slot >= pending.size())
        return false;
    call = std::move(pending[slot]);
    pending.resize(slot);
    return true;
}

// ---- Calls into PHP ------------------------------------------------------------

bool CrossVmHandlerBase::callUserFuncWithArgs(const char* name, uint32_t argc, zval* args, zval* result)
{
    // A probe call: nothing it runs is recorded.
    if (callPhpFunction(name, std::strlen(name), argc, args, result))
        return true;
    if (Z_ISUNDEF_P(result))
        ZVAL_NULL(result);
    return false;
}

// ---- Correlation token ---------------------------------------------------------------

namespace {

// The cross-VM decision of a request whose incoming token cannot be read:
// decided as for a request without one.
int64_t decideWithoutIncoming(Manager& manager, VornLog& log)
{
    int64_t state = 2;
    try {
        if (manager.urlManager->takeCrossVmSample(log))
            state |= 4;
    } catch (const std::exception& e) {
        log.logError("Cross-VM sampling failed:", e.what());
    }
    return state;
}

} // namespace

bool CrossVmHandlerBase::generateCorrelationToken(VornLog& log, const std::string& url, std::string& token)
{
    token.clear();
    Manager* manager = _manager;
    if (manager == nullptr)
        return false;
    manager->testForCrossVM(log);

    CorrelationToken outgoing;
    if (manager->crossVmState & 8) {
        std::string text;
        if (!manager->urlManager->getCorrelationToken(text)) {
            log.logWarning("Failed to read CorrelationToken!");
            return false;
        }
        CorrelationToken incoming;
        std::string why;
        if (crossvm::readIncomingToken(text, incoming, why)) {
            outgoing.magic = incoming.magic;
            outgoing.correlationId = CorrelationToken::generateId(log);
            outgoing.url = url;
            outgoing.origFragmentId = incoming.origFragmentId.empty() ? incoming.fragmentId : incoming.origFragmentId;
            outgoing.fragmentId = CorrelationToken::generateFragmentID(log, manager->getRequestInfo());
            token = outgoing.toString();
            return true;
        }
        // Decided once: later calls of the request see the new state and
        // do not log again; other requests' headers at most once per interval.
        static VornLogLimiter unreadable;
        log.logLimitedWarning(unreadable, std::chrono::steady_clock::now(), "Incoming correlation token cannot be read",
                              "(" + why + "), ignored: " + crossvm::logSafe(text, 128));
        manager->crossVmState = decideWithoutIncoming(*manager, log);
    }
    if (manager->crossVmState & 4) {
        outgoing.magic = '!';
        outgoing.correlationId = CorrelationToken::generateId(log);
    } else {
        outgoing.magic = '@';
    }
    outgoing.url = url;
    outgoing.fragmentId = CorrelationToken::generateFragmentID(log, manager->getRequestInfo());
    token = outgoing.toString();
    return true;
}

bool CrossVmHandlerBase::generateCorrelationHeader(VornLog& log, const std::string& url, std::string& header,
                                                   std::string& token)
{
    token.clear();
    if (!generateCorrelationToken(log, url, token))
        return false;
    header = crossvm::headerLine(token) + "\r\n";
    return true;
}

// ---- Events ------------------------------------------------------------------------------

boost::shared_ptr<ZCaptureEvent> CrossVmHandlerBase::addStartMethodEvent(const timeval& start, const std::string& url,
                                                                       const std::string& token,
                                                                       const boost::shared_ptr<ZLocation>& location)
{
    Manager& manager = *_manager;
    VornLog& log = Manager::LOG;
    boost::shared_ptr<ZRemoteMethodStartEvent> event = newRemoteStartEvent(start, location);
    const std::string descriptor = crossvm::targetDescriptor(url);
    if (log.enabled(VornLog::LEVEL_DBG1)) {
        const std::string shown = crossvm::logSafe(descriptor);
        log.logDbg1("RemoteMethodStartEvent::setMethodArgToken:", shown);
        log.logDbg1("Adding DIAG_ARG string:", shown);
    }
    event->methodArgToken = manager.reporter->addString(descriptor);
    event->correlationToken = token;
    event->targetInfoToken = -1;
    manager.reporter->events.push_back(event);
    ++manager.capturedCount;
    if (log.enabled(VornLog::LEVEL_DBG2)) {
        log.logDbg2("Captured CrossVM (", location ? location->path : std::string(), ")");
        log.logDbg2("CorrelationToken:", token);
        if (!token.empty()) {
            try {
                CorrelationToken::print(log, token);
            } catch (const std::exception&) {
                // Tokens made here always read back.
            }
        }
    }
    return event;
}

boost::shared_ptr<ZCaptureEvent> CrossVmHandlerBase::addEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                                     const boost::shared_ptr<ZLocation>& location,
                                                                     const timeval& end, const ZPHPException& exception)
{
    Manager& manager = *_manager;
    boost::shared_ptr<ZRemoteMethodEndEvent> event = newRemoteEndEvent(startEvent, end, exception);
    if (!exception.type.empty() || !exception.message.empty()) {
        // The message and trace come from outside (a server's answer, the
        // script's URL): escaped, so that they stay on the log's lines.
        if (Manager::LOG.enabled(VornLog::LEVEL_DBG1))
            Manager::LOG.logDbg1("CrossVM error (", location ? location->path : std::string(), "):\n",
                                 crossvm::logSafe(exception.type + ":" + exception.message) + "\r\n\t"
                                     + crossvm::logSafe(exception.trace));
        event->flags = ZMethodEndEvent::FLAG_EXCEPTION;
    }
    manager.reporter->events.push_back(event);
    return event;
}

// ---- Shared steps -------------------------------------------------------------------------

void CrossVmHandlerBase::reportCall(zend_execute_data* executeData, const timeval& start, const timeval& end,
                                    const std::string& url, const std::string& token, const ZPHPException& error)
{
    Manager& manager = *_manager;
    if (!collecting())
        return;
    boost::shared_ptr<ZLocation> location = manager.createLocation(executeData->func, executeData, true);
    if (!location)
        return;  // a function the point files do not list
    boost::shared_ptr<ZCaptureEvent> startEvent = addStartMethodEvent(start, url, token, location);
    addEndMethodEvent(startEvent, location, end, error);
}

ZPHPException CrossVmHandlerBase::failureDetails(zend_execute_data* executeData, const std::string& message,
                                                 const char* fallback)
{
    ZPHPException details;
    details.type = "Function failure";
    details.setErrorMessage(message.empty() ? std::string(fallback) : message, sqlsupport::maxMessageLength());
    details.trace = ZSqlHandlerBase::getBacktrace(executeData);
    return details;
}

const zend_string* CrossVmHandlerBase::lastRecordedError()
{
    return PG(last_error_message);
}

std::string CrossVmHandlerBase::errorRecordedSince(const zend_string* before)
{
    const zend_string* last = PG(last_error_message);
    if (last == nullptr || last == before)
        return std::string();
    return std::string(ZSTR_VAL(last), strnlen(ZSTR_VAL(last), ZSTR_LEN(last)));
}

std::string CrossVmHandlerBase::stringOf(const zval* value)
{
    if (value == nullptr || Z_TYPE_P(value) != IS_STRING)
        return std::string();
    const char* bytes = Z_STRVAL_P(value);
    return std::string(bytes, strnlen(bytes, Z_STRLEN_P(value)));
}
