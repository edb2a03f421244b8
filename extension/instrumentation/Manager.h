#pragma once

#include <sys/time.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "common/VornLog.h"
#include "extension/config/QuilletGlobals.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZPHPException.h"
#include "extension/model/ZPointFile.h"
#include "extension/model/ZPointFileEntry.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/crossvm/ZCrossVmManager.h"
#include "extension/sql/ZSqlManager.h"

class ZCaptureEvent;
class ZEventsReporter;
class ZUrlManager;

// Engine types, declared here so that this header can be included by code that
// does not see the engine's headers.
struct _zend_execute_data;
struct _zend_object;
struct _zend_op_array;
struct _zend_string;
struct _zval_struct;
union _zend_function;

// The extension's process-wide instrumentation engine: one per worker process,
// built when the library is loaded and alive until the process ends.
//
// Listed user functions are timed by code the compiler adds to their bodies
// (ListedFunctionRewriter): their begin and end call listedCallBegins and
// listedCallEnds, and unlisted code, user or internal, runs exactly as without
// the probe. Listed internal functions get a replacement handler
// (internalFunctionWrapper, or a SQL / cross-VM handler) that runs the
// engine's own handler through the function's saved handler.
class Manager {
public:
    using PointFileMap = std::map<std::wstring, boost::shared_ptr<ZPointFileEntry>>;

    // The singleton.
    static Manager& get();

    Manager();
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // ---- Lifecycle (module and request callbacks) --------------------------

    // Creates the events reporter, loads the point files, wraps the listed
    // internal functions and has the compiler instrument the listed user
    // functions. Once per process, from module start-up.
    void startup();
    // Logs DBG1 "QuilletExtension::shutdown called".
    void shutdown();
    // Per-request reset, then DBG1 "QuilletExtension::requestInit called".
    void requestInit();
    // Resets the per-request state (see the fields below).
    void requestCleanup();

    // Before the request's block is sent: ends the calls that exit() left
    // open as the normal completions they are, and drops the start events of
    // calls that never ended (a request cut short by a fatal error or a
    // time-out), so the block never refers to a location it does not carry.
    void dropUnfinishedCalls();

    // Calls left open whose frames are gone: once the script has ended (exit()
    // skips the finally blocks that end them), they end now; after a fatal
    // error or a time-out they are dropped. With `mainStackOnly`, calls begun
    // inside a fiber stay open: the fiber may still end them.
    void closeCallsLeftOpen(bool mainStackOnly);

    // ---- Execution hooks ---------------------------------------------------

    // Begin and end of a listed user function's execution (each resumption of
    // a generator is one), called from the function's own frame `frame`.
    // `entry` indexes listedUserEntries; with `byScope` (a trait method) the
    // entry of the class running the method comes first. `exception` is what
    // leaves the function, null when it returns.
    static void listedCallBegins(_zend_execute_data* frame, int64_t entry, bool byScope);
    static void listedCallEnds(_zend_execute_data* frame, _zend_object* exception);
    bool hasOpenCalls() const { return !openCalls.empty(); }

    // Replacement handler of listed internal functions that neither the SQL
    // nor the cross-VM manager took over.
    static void internalFunctionWrapper(_zend_execute_data* executeData, _zval_struct* returnValue);

    bool isInstrumentationRequired(const _zend_op_array* opArray) const;

    // Current call nesting: 1 plus the number of user-code executions on the
    // stack ending at `executeData` (the main script runs at 2, a function it
    // calls at 3). Also stored into `depth`.
    int32_t refreshDepth(const _zend_execute_data* executeData);

    // ---- Locations and events ----------------------------------------------

    boost::shared_ptr<ZPointFileEntry> getPointFileEntryUserFunction(const _zend_execute_data* executeData) const;
    boost::shared_ptr<ZPointFileEntry> getPointFileEntryInternalFunction(const char* functionName, const char* className) const;

    // Location of the running user function; null when it has no entry.
    boost::shared_ptr<ZLocation> createLocation(const _zend_execute_data* executeData, bool addNow);
    // Location of a call of a listed internal function; null when it has no
    // entry. With addNow the location joins the request's table at once.
    boost::shared_ptr<ZLocation> createLocation(const _zend_function* function, const _zend_execute_data* executeData, bool addNow);

    boost::shared_ptr<ZCaptureEvent> createStartMethodEvent(const timeval& start, const boost::shared_ptr<ZLocation>& location);
    boost::shared_ptr<ZCaptureEvent> createEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent, const timeval& end);

    // ---- Cross-VM support ----------------------------------------------------

    // Decides crossVmState once per request (1: undecided; else an OR of
    // 2 = not continuing a chain, 4 = sampled, 8 = continuing an incoming chain).
    void testForCrossVM(VornLog& log);
    CorrelationToken::RequestInfo getRequestInfo();

    // ---- Wrapping of internal functions ------------------------------------

    void wrapInternalFunctions();
    void wrapInternalFunction(const boost::shared_ptr<ZPointFileEntry>& entry);

    // ---- Exception details -----------------------------------------------------

    // Attaches the pending exception's details to the end event (flags 33),
    // once per exception object and up to qx.max_exceptions per request.
    // The exception is the script's pending one unless given.
    void setExceptionDetails(const boost::shared_ptr<ZCaptureEvent>& endEvent, _zend_execute_data* executeData,
                             _zend_object* exception = nullptr);
    ZPHPException formatException(_zend_execute_data* executeData, _zend_object* exception = nullptr);
    void getExceptionsDetails(_zend_execute_data* executeData, ZPHPException& details,
                              _zend_object* exception = nullptr);
    // The first `count` lines of the object's getTraceAsString(), each ended by
    // "\r\n\t"; empty when there is none.
    void getBacktrace(std::string& text, int count, _zval_struct* object);
    // Calls a method without arguments on an object, with the script's pending
    // exception set aside and put back afterwards; an exception thrown by the
    // method is dropped. True when `result` holds a value that the caller
    // releases (zval_ptr_dtor).
    //
    // When the called code makes the engine abandon the script (fatal error,
    // time-out), the call returns false with `bailoutPending` set; the entry
    // point that the engine called (observer, replacement handler) then calls
    // resumePendingBailout() once the probe's own objects are released, so
    // the engine's unwinding never skips them.
    bool callClassMethod(_zval_struct* object, const std::wstring& name, _zval_struct* result);
    static void resumePendingBailout();

    // ---- Process-wide -------------------------------------------------------

    static QuilletGlobals globals;
    static VornLog LOG;
    // The engine's reserved slot for the extension (op arrays and internal
    // function records); -1 until the engine gives one.
    static int32_t _resourceID;

    // ---- State, in declaration order --------------------------------------

    std::set<uint64_t> reportedExceptionIds;  // exceptions reported in this request
    bool collecting = false;                  // this request's calls are instrumented
    ZPointFile pointFile;
    int32_t depth = 1;                        // 1: outside any execution; refreshed from the stack
    int32_t capturedCount = 0;                // calls captured in this request (all paths)
    PointFileMap internalFunctions;           // entries whose internal function was wrapped
    PointFileMap userFunctions;               // all other entries
    // The user-function entries in point-file order: the compiled code names
    // them by position (ListedFunctionRewriter).
    std::vector<boost::shared_ptr<ZPointFileEntry>> listedUserEntries;
    boost::shared_ptr<ZEventsReporter> reporter;  // null until startup()
    std::unique_ptr<ZUrlManager> urlManager;      // built with the Manager, never null
    ZSqlManager sqlManager;
    ZCrossVmManager crossVmManager;
    int64_t crossVmState = 1;
    CorrelationToken correlationToken;        // held for the cross-VM handlers; unused here
    std::string agentId;                      // component identifier of the registration
    uint64_t requestStartMs = 0;
    std::string requestMethod;
    bool bailoutPending = false;              // see callClassMethod

private:
    // The location of a user-function call as worked out when the call
    // starts: its id and tokens are taken then, but the ZLocation itself is
    // built only for a call that is kept.
    struct LocationDraft {
        const ZPointFileEntry* entry = nullptr;
        const _zend_string* className = nullptr;   // null: no class
        const _zend_string* methodName = nullptr;
        ZLocation fields;  // id and tokens; its texts are filled only when kept
    };

    // One user-function execution being timed, from its begin to its end. It
    // holds only what the begin knows cheaply: names as the engine's strings
    // (they live as long as the request's code), no token, no location. Its
    // start event is made only when the call is kept, and put back where it
    // belongs: before the events of the calls nested in it.
    struct OpenCall {
        const _zend_execute_data* executeData;
        const _zend_function* function;
        const ZPointFileEntry* entry;
        const _zend_string* className;        // null: no class
        const _zend_string* methodName;
        const _zend_string* callerClassName;  // null: none
        const _zend_string* callerMethodName;
        int32_t callerLine;
        bool inFiber;
        timeval start;
        int32_t depth;
        int32_t eventInstance;
        std::size_t eventsBefore;  // length of the event list at the start
    };

    struct PointerPairHash {
        std::size_t operator()(const std::pair<const void*, const void*>& key) const
        {
            return std::hash<const void*>()(key.first) * 31u + std::hash<const void*>()(key.second);
        }
    };

    void beginCall(_zend_execute_data* frame, const ZPointFileEntry* entry);
    void endCall(_zend_execute_data* frame, _zend_object* exception);
    void finishCall(OpenCall&& call, _zend_object* exception, _zend_execute_data* frame);
    const ZPointFileEntry* listedEntryOf(const _zend_execute_data* frame, int64_t entry, bool byScope);
    int32_t depthOf(const _zend_execute_data* frame) const;
    boost::shared_ptr<ZLocation> buildLocation(const OpenCall& call);
    void noteShutdown();
    void recordInternalCall(const _zend_function* function, _zend_execute_data* executeData,
                            const timeval& start, const timeval& end);
    int32_t tokenOf(const std::string& text);
    boost::shared_ptr<ZCaptureEvent> makeStartEvent(const timeval& start, int32_t locationId,
                                                    int32_t eventDepth, int32_t eventInstance);
    void fillCaller(ZLocation& location, const _zend_execute_data* caller);
    bool draftUserLocation(const _zend_execute_data* executeData, LocationDraft& draft);
    boost::shared_ptr<ZLocation> buildLocation(const LocationDraft& draft) const;
    const ZPointFileEntry* userEntryOf(const _zend_op_array& opArray);
    int32_t nameToken(const _zend_string* name);
    int32_t layerTokenOf(const ZPointFileEntry& entry);
    void instrumentListedUserFunctions();

    bool shutdownSeen = false;  // the script's main stack is gone (see noteShutdown)

    std::vector<OpenCall> openCalls;

    // Per-request memos of the listed user-function path, keyed by the
    // engine's name strings: point-file entry by (function name, class), token
    // by name, layer token by entry. A hit is checked against the text, so a
    // name string freed and reused meanwhile is never mistaken. A token taken
    // in this request is in the reporter's tables until the request is
    // finalised, so the memos are emptied with every request.
    struct MemoToken {
        std::string text;
        int32_t token;
    };
    std::unordered_map<std::pair<const void*, const void*>, const ZPointFileEntry*, PointerPairHash> entryMemo;
    std::unordered_map<const void*, MemoToken> tokenMemo;
    std::unordered_map<const ZPointFileEntry*, int32_t> layerTokenMemo;
    int32_t methodLayerTypeToken = -1;
};
