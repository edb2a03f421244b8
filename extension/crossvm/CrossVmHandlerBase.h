#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "extension/instrumentation/InternalFunctionHandlerBase.h"
#include "extension/model/ZPHPException.h"

class VornLog;
class ZCaptureEvent;
class ZLocation;
struct _zend_execute_data;
struct _zend_string;
struct _zval_struct;

// What a handler knows of an outgoing call being prepared on one handle
// (a curl handle, a socket), filed by the handle's id.
class CrossVmCallInfo {
public:
    virtual ~CrossVmCallInfo();

    std::string url;                   // target URL as the script gave it
    uint64_t resourceId = 0;           // id the record is filed under
    std::vector<std::string> headers;  // header lines the script set, as the engine sends them
    // The script's header list holds an element that cannot be read without
    // running script code (an object): its header option is then left alone.
    bool headersUnknown = false;
};

// Index of a handler in ZCrossVmManager::handlers.
enum eCrossVMHandlerID {
    CROSSVM_CURL = 0,
    CROSSVM_FILE_GET_CONTENTS = 1,
    CROSSVM_STREAM = 2,
};

// Base of the outgoing-HTTP handlers: the function table they take over, the
// call records of the request, the correlation token of an outgoing call and
// the remote method events that report it.
//
// Replacement handlers call the engine's own implementation exactly once with
// the script's arguments, and hold no object with a destructor across that
// call (a fatal error or time-out leaves it by a long jump): their work before
// and after it runs in functions of its own, under vorn::guardEntry, which
// keeps errno (work outside a guard keeps it with vorn::ScriptErrno).
class CrossVmHandlerBase : public InternalFunctionHandlerBase {
public:
    CrossVmHandlerBase();
    ~CrossVmHandlerBase() override;
    CrossVmHandlerBase(const CrossVmHandlerBase&) = delete;
    CrossVmHandlerBase& operator=(const CrossVmHandlerBase&) = delete;

    // Forgets the request's call records and calls in progress.
    virtual void cleanup();

    // The function names this handler takes over.
    std::vector<std::wstring> functionKeys() const;

    // A fresh record under `id`, replacing any earlier one.
    std::shared_ptr<CrossVmCallInfo> insertResourceID(uint64_t id);
    std::shared_ptr<CrossVmCallInfo> getCallInfo(uint64_t id) const;
    std::size_t deleteCallInfo(uint64_t id);
    std::size_t callInfoCount() const { return callInfos.size(); }

    // The handler with that index (the manager owns it for the process).
    static CrossVmHandlerBase* GetThis(eCrossVMHandlerID id);

    // Calls the PHP function `name` with `argc` values, collection switched
    // off and the script's pending exception set aside; whatever the call
    // throws is dropped. `result` receives the result (the caller releases
    // it). False when the engine could not make the call or abandoned the
    // script (the entry point then resumes the bail-out, see
    // Manager::resumePendingBailout).
    static bool callUserFuncWithArgs(const char* name, uint32_t argc, _zval_struct* args, _zval_struct* result);

    // The correlation token of an outgoing call to `url`, from the request's
    // cross-VM decision. An incoming token that cannot be read is logged once
    // and treated as absent. False only when the incoming token disappeared
    // between the decision and this call (token empty).
    static bool generateCorrelationToken(VornLog& log, const std::string& url, std::string& token);
    // The same, and the header line "X-Kolvane-Diag-HTTP-Color: <token>\r\n".
    static bool generateCorrelationHeader(VornLog& log, const std::string& url, std::string& header,
                                          std::string& token);

    // The remote method start and end events of a call, queued on the
    // reporter.
    static boost::shared_ptr<ZCaptureEvent> addStartMethodEvent(const timeval& start, const std::string& url,
                                                                const std::string& token,
                                                                const boost::shared_ptr<ZLocation>& location);
    static boost::shared_ptr<ZCaptureEvent> addEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                              const boost::shared_ptr<ZLocation>& location,
                                                              const timeval& end, const ZPHPException& exception);

    // ---- Shared steps of the replacement handlers -----------------------------

    // Reports a finished call of the function `executeData` runs: its
    // location and the start and end events; an `error` with a kind ends it
    // failed (flags 33).
    static void reportCall(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                           const std::string& url, const std::string& token,
                           const ZPHPException& error = ZPHPException());
    // The details of an outgoing call that failed, as a failed database call
    // has them: kind "Function failure", `message` (`fallback` when empty) cut
    // to qx.exception_max_message_length, and the call's backtrace.
    static ZPHPException failureDetails(_zend_execute_data* executeData, const std::string& message,
                                        const char* fallback);
    // The message of the warning or notice the engine recorded last (what
    // error_get_last() reads), when it is not `before`, the one recorded
    // before the call: the call's own. Empty when the call recorded none
    // that can be told apart (a script's error handler took it, or the
    // message was not stored).
    static std::string errorRecordedSince(const _zend_string* before);
    // The engine's last recorded error message, to hand to
    // errorRecordedSince after a call; a plain pointer, never dereferenced
    // there.
    static const _zend_string* lastRecordedError();
    // The text of a string value up to its first NUL.
    static std::string stringOf(const _zval_struct* value);

    // A call whose token was built before the engine's implementation ran,
    // kept until it returns. Calls can nest (script code run by a transfer's
    // callbacks), so they are kept as a stack; a slot left by a call that
    // never returned (fatal error) goes with the next request's clean-up.
    struct PendingCall {
        std::string url;
        std::string token;
    };
    std::size_t pushPending(const std::string& url, const std::string& token);
    bool popPending(std::size_t slot, PendingCall& call);

    // Most call records kept in one request; past it new handles are not followed.
    static constexpr std::size_t MAX_CALL_INFOS = 10000;

protected:
    std::map<uint64_t, std::shared_ptr<CrossVmCallInfo>> callInfos;
    std::vector<PendingCall> pending;
    bool recordsFullLogged = false;
};
