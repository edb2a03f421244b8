#pragma once

#include <sys/time.h>

#include <cstdint>
#include <list>
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
struct vorn_wrapped_function;

// Engine types, declared here so that this header can be included by code that
// does not see the engine's headers.
struct _zend_class_entry;
struct _zend_execute_data;
struct _zend_fiber_context;
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

    // The singleton. Inline: every listed call asks for it.
    static Manager& get()
    {
        static Manager instance;
        return instance;
    }

    Manager();
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // ---- Lifecycle (module and request callbacks) --------------------------

    // Creates the events reporter, loads the point files and wraps the listed
    // internal functions. Once per process, from module start-up.
    void startup();
    // Module shutdown: puts back what startup() changed in the engine.
    void shutdown();
    // Per-request reset, then DBG1 "QuilletExtension::requestInit called".
    void requestInit();
    // Resets the per-request state (see the fields below).
    void requestCleanup();

    // Forgets the open calls without recording them (the request's events are
    // being thrown away).
    void forgetOpenCalls();
    // At the end of the request, before its block is closed: calls that exit()
    // left open end as completed, calls cut short by a fatal error or a
    // time-out end with the error (see closeAbandonedCalls).
    void closeOpenCalls();

    // ---- Recording of calls --------------------------------------------------
    //
    // What a call records, independent of how its start and end are noticed:
    // the hooks below (instrumented code, replacement handler) only call
    // these. Every open call keeps its place among the request's events, so
    // its start event lands before the events of everything that began after
    // it, whatever order the calls end in (fibers, callbacks).

    // A listed user function begins / ends (executeData: its frame; entry:
    // its point-file entry; exception: what leaves it, null when it returns).
    void openUserCall(_zend_execute_data* executeData, const ZPointFileEntry* entry);
    void closeUserCall(_zend_execute_data* executeData, _zend_object* exception);
    // A wrapped internal function is about to run its engine handler / has
    // run it. openInternalCall answers whether the call is being timed; only
    // then must closeInternalCall follow.
    bool openInternalCall(_zend_execute_data* executeData);
    void closeInternalCall(_zend_execute_data* executeData);
    // The engine has abandoned the script (fatal error, time-out, exhausted
    // memory): every open call ends now with flags 33 and the fatal error's
    // type and message; without a known fatal error they are dropped.
    void closeAbandonedCalls();
    // True while the probe itself runs PHP code (reading an exception): such
    // calls are never the application's and are not recorded.
    bool inProbeCall() const { return probeCalls > 0; }
    // Brackets such a call of the probe's into PHP.
    void probeCallBegins() { ++probeCalls; }
    void probeCallEnds() { --probeCalls; }

    // ---- Execution hooks ---------------------------------------------------

    // Begin and end of a listed user function's execution (each resumption of
    // a generator is one), called from the function's own frame `frame`.
    // `entry` indexes listedUserEntries; with `byScope` (a trait method) the
    // entry of the class running the method comes first. `exception` is what
    // leaves the function, null when it returns.
    static void listedCallBegins(_zend_execute_data* frame, int64_t entry, bool byScope);
    static void listedCallEnds(_zend_execute_data* frame, _zend_object* exception);
    bool hasOpenCalls() const { return !openCalls.empty(); }
    // The engine switches from one fiber to another (registered with the
    // engine's fiber-switch notification, only when functions are
    // listed). The open calls of a fiber that suspends end, as a generator's
    // do at a yield, and begin again when it resumes; the calls of a fiber
    // destroyed while suspended are not begun again.
    static void fiberSwitched(_zend_fiber_context* from, _zend_fiber_context* to);

    // Replacement handler of listed internal functions that neither the SQL
    // nor the cross-VM manager took over; the record gets it behind
    // InternalFunctionHandlerBase::scriptCalls, as every family's.
    static void internalFunctionWrapper(_zend_execute_data* executeData, _zval_struct* returnValue);
    // True when `handler` is what the wrapping installs for that wrapper.
    static bool isCoreWrapper(void (*handler)(_zend_execute_data*, _zval_struct*));

    // Current call nesting: 1 plus the number of user-code executions on the
    // stack ending at `executeData` (the main script runs at 2, a function it
    // calls at 3). Also stored into `depth`.
    int32_t refreshDepth(const _zend_execute_data* executeData);

    // ---- Locations and events ----------------------------------------------

    boost::shared_ptr<ZPointFileEntry> getPointFileEntryInternalFunction(const char* functionName, const char* className) const;

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
    // The same replacement in the copies that built-in subclasses hold of a
    // wrapped method.
    void wrapInheritedCopies(const _zend_class_entry* declaring, const _zend_function* function,
                             const vorn_wrapped_function& record);

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
    // point that the engine called (instrumented code, replacement handler) then calls
    // resumePendingBailout() once the probe's own objects are released, so
    // the engine's unwinding never skips them.
    bool callClassMethod(_zval_struct* object, const std::wstring& name, _zval_struct* result);
    // Calls `method` of `target` without arguments, the script's pending
    // exception set aside and nothing recorded meanwhile; after a bail-out
    // inside it no more PHP code runs for the probe. False when it gave no
    // result.
    bool callKnownMethod(_zend_function* method, _zend_object* target, _zval_struct* result);
    static void resumePendingBailout();

    // ---- Process-wide -------------------------------------------------------

    static QuilletGlobals globals;
    // qx.exception_max_message_length as ZPHPException::setErrorMessage
    // takes it: at most 1000 bytes kept, 0 for "never cut".
    static int messageCut()
    {
        return static_cast<int>(globals.exception_max_message_length > 1000 ? 1000
                                                                            : globals.exception_max_message_length);
    }
    static VornLog LOG;
    // The engine's reserved slot for the extension (internal function
    // records: the saved handler of a wrapped function); -1 until the engine
    // gives one.
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
    using EventList = std::list<boost::shared_ptr<ZCaptureEvent>>;

    // One execution being timed, from its begin to its end. Its start event
    // is made only when the call is kept, and put right after `anchor`, the
    // event that was last in the list when the call began: list positions
    // survive the insertions of calls that end in another order. (Events are
    // only appended or inserted while calls are open; the list is emptied or
    // pruned only once the open calls are closed or forgotten.)
    struct OpenCall {
        // Made in its place among the open calls: its opener sets every
        // field that has no default here, and nothing is cleared twice.
        OpenCall() {}

        const _zend_execute_data* executeData;
        const _zend_function* internalFunction = nullptr;  // null: a user call
        const _zend_function* caller = nullptr;            // internal calls: the calling user function
        int32_t callerLine = 0;
        // User calls: only what the begin knows cheaply, names as the
        // engine's strings (they live as long as the request's code); tokens
        // and location are made only for a call that is kept.
        const _zend_function* function = nullptr;
        const ZPointFileEntry* entry = nullptr;
        const _zend_string* className = nullptr;        // null: no class
        const _zend_string* methodName = nullptr;
        const _zend_string* callerClassName = nullptr;  // null: none
        const _zend_string* callerMethodName = nullptr;
        const void* fiber = nullptr;  // the fiber context it runs in
        timeval start;
        int32_t depth;
        int32_t eventInstance;
        EventList::iterator anchor;
        // Began before any bail-out of the request: once the engine has
        // bailed out, such a call can only end by being abandoned.
        bool beganClean = true;
    };

    struct PointerPairHash {
        std::size_t operator()(const std::pair<const void*, const void*>& key) const
        {
            return std::hash<const void*>()(key.first) * 31u + std::hash<const void*>()(key.second);
        }
    };

    EventList::iterator currentAnchor();
    void placeStartEvent(const OpenCall& call, boost::shared_ptr<ZCaptureEvent>&& startEvent);
    boost::shared_ptr<ZLocation> locationOf(const OpenCall& call);
    // The callee part of a listed internal function's location (names, tokens,
    // layer), or empty when no point-file entry lists it; finishLocation then
    // gives it its layer type, id and path once the caller part is filled.
    boost::shared_ptr<ZLocation> internalCalleeLocation(const _zend_function* function);
    void finishLocation(ZLocation& location);
    // What openUserCall and closeUserCall do.
    inline void beginUserCall(_zend_execute_data* executeData, const ZPointFileEntry* entry);
    inline void endUserCall(_zend_execute_data* executeData, _zend_object* exception);
    // The rest of closeUserCall for a call that is kept.
    void keepUserCall(std::vector<OpenCall>::iterator open, const timeval& end, _zend_execute_data* executeData,
                      _zend_object* thrown);
    // Keeps a call that ended: its start event in place, its end event and
    // its location; the end event is returned for the caller to complete
    // before anything else is appended.
    boost::shared_ptr<ZCaptureEvent> keepCall(const OpenCall& call, const boost::shared_ptr<ZLocation>& location,
                                              const timeval& end);
    // "Class::method" of a kept call, for its log line.
    static std::string pathOf(const OpenCall& call, const ZLocation& location);
    bool isOpenInternalFrame(const _zend_execute_data* frame) const;
    int32_t tokenOf(const std::string& text);
    boost::shared_ptr<ZCaptureEvent> makeStartEvent(const timeval& start, int32_t locationId,
                                                    int32_t eventDepth, int32_t eventInstance);
    void fillCaller(ZLocation& location, const _zend_execute_data* caller);
    boost::shared_ptr<ZLocation> buildUserLocation(const OpenCall& call);
    inline const ZPointFileEntry* listedEntryOf(const _zend_execute_data* frame, int64_t entry, bool byScope);
    // Works out (and notes) the entry of code that names entry index `entry`.
    const ZPointFileEntry* resolveListedEntry(const _zend_op_array& opArray, std::size_t entry, bool byScope);
    // Calls whose frames the walk finds gone (exit() unwound them without
    // running the finally blocks that end them) are ended first.
    int32_t depthOf(const _zend_execute_data* frame);
    // The fiber context a call beginning now runs in.
    const void* runningFiber() const;
    // Ends openCalls[index] now as a completion, kept when it lasted long
    // enough (no exception: nothing of the script runs).
    void endCallNow(std::size_t index);
    void endCallsAbove(std::size_t index);
    void switchFibers(_zend_fiber_context* from, _zend_fiber_context* to);
    // Ends the open calls of `fiber`, noting them to begin again when it
    // resumes if `resumeLater`.
    void endFiberCalls(const void* fiber, bool resumeLater);
    // Begins again what `fiber` had open when it suspended (`begin`), or
    // forgets it.
    void takeSuspendedCalls(const void* fiber, bool begin);
    // Checked at every begin and end of a call: cheap until the script's main
    // stack is gone, then closes what it left open (closeCallsLeftAtShutdown).
    inline void noteShutdown();
    void closeCallsLeftAtShutdown();
    void endCallsLeftByExit();
    const ZPointFileEntry* userEntryOf(const _zend_op_array& opArray);
    // The entry of a method that a class took from a trait, listed under the
    // trait's name (traits used by traits included, `levels` deep).
    const ZPointFileEntry* traitEntryOf(const _zend_op_array& opArray, const _zend_class_entry* user, int levels) const;
    int32_t nameToken(const _zend_string* name);
    int32_t layerTokenOf(const ZPointFileEntry& entry);
    // Empties the token memos when the reporter's tokens went out of force.
    void checkTokenMemos();
    void instrumentListedUserFunctions();
    void keepListedBuiltinsCalled();
    void addCompiledCodeEntropy();

    bool shutdownSeen = false;  // the script's main stack is gone (see noteShutdown)
    bool addedNoBuiltins = false;  // keepListedBuiltinsCalled changed the compiler options
    bool fiberSwitchesObserved = false;  // fiberSwitched is registered with the engine

    std::vector<OpenCall> openCalls;
    // What suspended fibers had open, outermost first per fiber.
    struct SuspendedCall {
        const void* fiber;
        const _zend_execute_data* executeData;
        const _zend_function* function;   // what the frame ran
        const ZPointFileEntry* entry;     // null: an internal call
    };
    std::vector<SuspendedCall> suspendedCalls;
    const void* switchingTo = nullptr;  // the fiber whose calls begin again, while they do
    int32_t openInternalCalls = 0;  // open calls of internal functions
    int32_t probeCalls = 0;         // nesting of the probe's own calls into PHP

    // Memos of the listed user-function path, keyed by the engine's name
    // strings: point-file entry by (function name, class), for the request;
    // token by name and layer token by entry, for as long as the reporter's
    // tokens stay in force (its token generation), across requests. A name's
    // hit is checked against the text, so a name string freed and reused
    // meanwhile is never mistaken.
    struct MemoToken {
        std::string text;
        int32_t token;
    };
    struct MemoEntry {
        const ZPointFileEntry* entry;  // null: the function is not listed
        const void* opcodes;           // the code it was worked out for
    };
    std::unordered_map<std::pair<const void*, const void*>, MemoEntry, PointerPairHash> entryMemo;
    std::unordered_map<const void*, MemoToken> tokenMemo;
    std::unordered_map<const ZPointFileEntry*, int32_t> layerTokenMemo;

    // A kept user call's location tokens by call site, so that a site called
    // again (a loop, the next request) costs one look-up instead of six. Every
    // kept call still gets a location of its own with a new id: only the
    // tokens are shared. A hit is checked against the four names' texts, as
    // in tokenMemo, and the memo lives and dies with the token memos.
    struct SiteKey {
        const _zend_string* className;
        const _zend_string* methodName;
        const _zend_string* callerClassName;
        const _zend_string* callerMethodName;
        const ZPointFileEntry* entry;
        int32_t callerLine;
        bool operator==(const SiteKey& other) const;
    };
    struct SiteKeyHash {
        std::size_t operator()(const SiteKey& key) const;
    };
    struct SiteTokens {
        std::string names[4];  // the key's names as they were when memoised
        int32_t calleeClassNameToken;
        int32_t calleeMethodNameToken;
        int32_t layerToken;
        int32_t callerClassNameId;
        int32_t callerMethodNameId;
    };
    std::unordered_map<SiteKey, SiteTokens, SiteKeyHash> siteMemo;
    const SiteTokens& siteTokensOf(const OpenCall& call);
    int32_t methodLayerTypeToken = -1;
    uint64_t tokenMemoGeneration = 0;
    static constexpr std::size_t MAX_TOKEN_MEMO = 4096;

    // What the begin of a listed entry's compiled code resolved to, by entry
    // index: the code that last named the entry, and the point-file entry
    // that times it (null: not timed, e.g. a call of the probe's function
    // written by hand in other code). A begin of the same code takes it as
    // it is; other code naming the entry works it out again. It holds for
    // the request it was worked out in, or for every request when the code's
    // name is one of the engine's permanent strings (opcache's shared
    // memory) and no class decides it: such a name and code stay the same
    // function's while opcache keeps them. A restart of opcache frees its
    // strings and code for other functions: the name's hash, kept with the
    // addresses, tells another text that took the same place.
    struct ListedResolution {
        const void* name = nullptr;   // the function's name string
        const void* code = nullptr;   // its opcodes
        const void* scope = nullptr;  // its class
        uint64_t nameHash = 0;        // the name's hash: tells a text that took a freed string's place
        const ZPointFileEntry* entry = nullptr;
        uint64_t validIn = 0;         // request serial; EVERY_REQUEST; 0: nothing resolved
    };
    static constexpr uint64_t EVERY_REQUEST = ~uint64_t(0);
    std::vector<ListedResolution> listedResolutions;  // parallel to listedUserEntries
    uint64_t requestSerial = 1;                       // counts requests, from 1
};
