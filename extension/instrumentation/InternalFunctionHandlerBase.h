#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

class Manager;
class ZCaptureEvent;
class ZLocation;
class ZPHPException;
class ZRemoteMethodEndEvent;
class ZRemoteMethodStartEvent;
struct _zend_execute_data;
struct _zval_struct;
struct vorn_wrapped_function;

// Base of the handler families that take over listed internal functions (the
// database and outgoing-HTTP handlers). It keeps each family's table of
// replacements and gives them the shared limit test, the arguments of the
// internal call in progress, the call of the engine's own implementation, a
// call into PHP with the script's exception set aside and the remote method
// event records. Everything else they need (locations, exception details,
// cross-VM decision, request facts) is on the Manager they reach through
// `_manager`.
class InternalFunctionHandlerBase {
public:
    using Handler = void (*)(_zend_execute_data*, _zval_struct*);

    virtual ~InternalFunctionHandlerBase();

    // What a record gets for a family's `replacement` (`handlers` holds
    // only these, and the Manager installs its own wrapper through it too):
    // a call that the engine evaluates while it compiles code
    // (vorn_wrapped_function::evaluatedByCompiler) runs the engine's own
    // handler alone, exactly as without the probe, and nothing of the
    // family's runs for it; every other call goes to `replacement`. The
    // test is a load and a branch. Defined in
    // extension/instrumentation/ScriptCalls.h, which includes the engine's
    // headers (this one does not).
    template <Handler replacement>
    static void scriptCalls(_zend_execute_data* executeData, _zval_struct* returnValue);

    // Installs the replacement registered under exactly `key` into the
    // record's handler field; false (record untouched) when there is none.
    virtual bool hook(const std::wstring& key, vorn_wrapped_function& record);
    // True when `handler` is one of this table's replacements.
    virtual bool isHooked(Handler handler) const;
    Handler getFunctionHandler(const std::wstring& key) const;

    // The current request is collected (its events are kept), the probe is
    // ready to report them, and the call is not one the probe itself makes
    // into PHP.
    static bool collecting();

    // True when the call in progress must not be captured: more than
    // qx.max_functions calls were captured in this request, or the current
    // depth is above qx.max_functions_depth. Refreshes Manager::depth from the
    // engine's stack, so a handler that captures gives its start event the
    // depth Manager::depth + 1.
    static bool isLimitReached();

    // Number of arguments of the internal call `executeData` runs.
    static int64_t getFunctionArgsCount(const _zend_execute_data* executeData);

    // Argument `index` (from 0) of the internal call, or null when there is no
    // such argument.
    static _zval_struct* getFunctionArgAt(_zend_execute_data* executeData, int64_t index);
    // The same argument's value: a reference followed to what it refers to,
    // null when there is no such argument or its slot is undefined.
    static _zval_struct* getFunctionArgValue(_zend_execute_data* executeData, int64_t index);

    // Runs the engine's own implementation of the function `executeData`
    // executes (its saved handler). False, with a PHP Error thrown, when the
    // function was not wrapped by this extension. A fatal error or time-out
    // leaves the engine's handler by a long jump: a caller holds no object
    // with a destructor across this call.
    static bool callSavedHandler(_zend_execute_data* executeData, _zval_struct* returnValue);
    // Calls the PHP function named by the `length` bytes at `name` with the
    // `argc` values at `args`, the script's pending exception set aside
    // (whatever the call throws is dropped) and nothing recorded meanwhile.
    // `result` holds what the call returned, undefined when nothing; the
    // caller releases it. False when the call was not made: a bail-out is
    // pending, the engine refused it, or the engine abandoned the script
    // during it (then Manager::bailoutPending is set, for the entry point to
    // resume once the probe's objects are gone).
    static bool callPhpFunction(const char* name, std::size_t length, uint32_t argc, _zval_struct* args,
                                _zval_struct* result);
    // The same with Manager::depth raised for the call, as a replacement
    // handler runs it. Only trivially destructible state may be live around it.
    static void callEngine(_zend_execute_data* executeData, _zval_struct* returnValue);

    // A remote method start event of the call in progress, begun at `start`:
    // one level below Manager::depth, a fresh event instance, the location's
    // id (-1 without one). Its tokens are the caller's to set, and to queue it.
    static boost::shared_ptr<ZRemoteMethodStartEvent> newRemoteStartEvent(const timeval& start,
                                                                          const boost::shared_ptr<ZLocation>& location);
    // The end event matching `startEvent` (its depth, location and instance),
    // at `end` with `error`; its flags are the caller's to set, and to queue it.
    static boost::shared_ptr<ZRemoteMethodEndEvent> newRemoteEndEvent(
        const boost::shared_ptr<ZCaptureEvent>& startEvent, const timeval& end, const ZPHPException& error);

    // The Manager; null until Manager::startup.
    static Manager* _manager;

protected:
    // The replacements, by the point-file key of the function they take over;
    // each concrete handler fills it in its constructor, with
    // scriptCalls<its handler>.
    std::map<std::wstring, Handler> handlers;
};
