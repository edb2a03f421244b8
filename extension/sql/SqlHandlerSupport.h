#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/VornUtils.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/instrumentation/Manager.h"
#include "extension/model/ZPHPException.h"
#include "extension/sql/ZSqlHandlerBase.h"

struct _zend_execute_data;
struct _zval_struct;

// Small pieces shared by the database handlers.
namespace sqlsupport {

// The frame of a replacement handler that observes its call. Unless
// `observed`, only the engine's own call runs. Else the call is timed, and
// then `observe(start, end, callDepth)` runs under vorn::guardEntry (`where`
// heads its failure in the log), `callDepth` being Manager::depth as it was
// before the call; a bail-out met there is resumed once its objects are gone.
// A fatal error or time-out leaves the engine's call by a long jump, so only
// trivially destructible state lives across it: `observe` is a lambda that
// captures by reference.
template <class Observe>
void observedCall(_zend_execute_data* executeData, _zval_struct* returnValue, bool observed, const char* where,
                  Observe&& observe)
{
    if (!observed) {
        ZSqlHandlerBase::callEngine(executeData, returnValue);
        return;
    }
    Manager* manager = InternalFunctionHandlerBase::_manager;
    const int32_t callDepth = manager != nullptr ? manager->depth : 0;
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    ZSqlHandlerBase::callEngine(executeData, returnValue);
    vorn::getTimeOfDay(&end);
    vorn::guardEntry(Manager::LOG, where, [&] { observe(start, end, callDepth); });
    Manager::resumePendingBailout();
}

// The engine's call failed: it returned false or left an exception pending.
bool callFailed(_zval_struct* returnValue);

// qx.exception_max_message_length as ZPHPException::setErrorMessage takes it.
int maxMessageLength();
// How much of a message that cut needs: one byte past it, all when it keeps
// any length.
std::size_t messageBytesRead();

// With an exception pending, the error becomes that exception's: its class as
// the kind, and its message when the error has none yet. Nothing is called:
// the message is the exception's own property.
void takePendingException(ZPHPException& error);

// A text that callUserFunction widened byte by byte, as its original bytes.
std::string latin1Bytes(const std::wstring& text);

// A failed call as a plain method call with flags 33, within the request's
// limits (it counts as a captured call).
void reportFailedCall(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                      const ZPHPException& error);

// A failed call logged (the `heading` parts, then its error on one line, the
// texts from the server or the script logged as UTF-8) and reported as by
// reportFailedCall.
template <class... Heading>
void logAndReportFailedCall(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                            const ZPHPException& error, const Heading&... heading)
{
    VornLog& log = Manager::LOG;
    if (log.enabled(VornLog::LEVEL_DBG1)) {
        log.logDbg1(heading...);
        log.logDbg1(vorn::fromUtf8(ZSqlHandlerBase::logSafe(error.type + ":" + error.message) + "\r\n\t"
                                   + ZSqlHandlerBase::logSafe(error.trace)));
    }
    reportFailedCall(executeData, start, end, error);
}

// "Maximum SQL limit reached - this SQL will not be reported", once per call
// that the reduction refused.
void logSqlRefused();

} // namespace sqlsupport
