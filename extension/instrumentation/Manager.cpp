#include "extension/instrumentation/Manager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>

#include <boost/make_shared.hpp>

#include "php.h"
#include "zend_exceptions.h"
#include "zend_fibers.h"
#include "zend_observer.h"
#include "zend_system_id.h"

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/EngineServerVariables.h"
#include "extension/engine/EngineSystemId.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/InternalFunctionHandlerBase.h"
#include "extension/instrumentation/ListedFunctionRewriter.h"
#include "extension/instrumentation/ScriptCalls.h"
#include "extension/engine/VornEngine.h"
#include "extension/model/RecyclingAllocator.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/url/ZUrlManager.h"
#include "extension/engine/vorn_wrapped_function.h"

QuilletGlobals Manager::globals;
VornLog Manager::LOG;
int32_t Manager::_resourceID = -1;

namespace {

// The events and locations of kept calls, in blocks reused from one request
// to the next instead of taken from the heap and freed each time.
template <typename T>
boost::shared_ptr<T> makeRecycled()
{
    return boost::allocate_shared<T>(RecyclingAllocator<T>());
}

// Deepest stack walked when the depth is worked out; beyond the largest
// allowed qx.max_functions_depth nothing is instrumented anyway.
constexpr int32_t DEPTH_WALK_LIMIT = 102;

// exit() unwinds the stack with an engine object that is not a script
// exception; so does the destruction of a suspended fiber.
zend_object* scriptException(zend_object* pending)
{
    if (!pending || zend_is_unwind_exit(pending) || zend_is_graceful_exit(pending))
        return nullptr;
    return pending;
}

zend_object* scriptException()
{
    return scriptException(EG(exception));
}

std::string nameOf(const zend_string* name)
{
    return name ? std::string(ZSTR_VAL(name), ZSTR_LEN(name)) : std::string();
}

// As sent and logged: an anonymous class's name up to its NUL.
std::string className(const zend_class_entry* scope)
{
    return scope ? vorn::printedName(scope->name) : std::string();
}

// Whole milliseconds from start to end; 0 when the clock stepped back.
uint64_t elapsedMilliseconds(const timeval& start, const timeval& end)
{
    const int64_t us = (static_cast<int64_t>(end.tv_sec) - static_cast<int64_t>(start.tv_sec)) * 1000000
                       + (static_cast<int64_t>(end.tv_usec) - static_cast<int64_t>(start.tv_usec));
    return us < 0 ? 0 : static_cast<uint64_t>(us / 1000);
}

} // namespace

Manager::Manager()
    : urlManager(new ZUrlManager(globals, EngineServerVariables::instance()))
{
}

Manager::~Manager() = default;

// ---- Lifecycle ---------------------------------------------------------------

void Manager::instrumentListedUserFunctions()
{
    listedUserEntries.clear();
    std::vector<ListedFunctionRewriter::Target> targets;
    for (const auto& entry : pointFile.entries) {
        if (!entry || (entry->flags & ZPointFileEntry::FLAG_WRAPPED))
            continue;
        listedUserEntries.push_back(entry);
        targets.push_back({entry->classNameLower, entry->methodNameLower});
    }
    listedResolutions.assign(listedUserEntries.size(), ListedResolution());
    ListedFunctionRewriter::install(targets);
}

void Manager::startup()
{
    LOG.logDbg1("QuilletExtension::startup called");
    vorn::guardEntry(LOG, "Error while loading Points file:", [&] {
        reporter.reset(new ZEventsReporter(LOG, globals));
        InternalFunctionHandlerBase::_manager = this;
        LOG.logDbg1("Loading Point-File...");
        try {
            pointFile.load(globals.install_dir + L"/etc", LOG);
        } catch (const zException& e) {
            // Whatever was loaded before the failure stays in use.
            LOG.logError("Error while loading Points file:", e.message);
        }
        LOG.logDbg1(static_cast<uint64_t>(pointFile.entries.size()), "functions loaded");
        wrapInternalFunctions();
        internalFunctions.clear();
        userFunctions.clear();
        for (const auto& entry : pointFile.entries) {
            PointFileMap& map = (entry->flags & ZPointFileEntry::FLAG_WRAPPED) ? internalFunctions : userFunctions;
            map.emplace(entry->key, entry);  // the first entry of a key stays
        }
        keepListedBuiltinsCalled();
        addCompiledCodeEntropy();
        instrumentListedUserFunctions();
        // A fiber that suspends inside a listed call, user or built-in,
        // leaves its frames off the running stack: the switch notification
        // (not the per-call observer, so unlisted code still pays nothing)
        // ends and begins them again. The engine empties its observer lists
        // itself when it shuts down.
        if (!pointFile.entries.empty() && !fiberSwitchesObserved) {
            zend_observer_fiber_switch_register(fiberSwitched);
            fiberSwitchesObserved = true;
        }
    });
}

void Manager::addCompiledCodeEntropy()
{
    // Compiled code carries what the point files decided when it was
    // compiled: plain calls of listed built-ins, and the instrumented user
    // functions (the rewriter adds the listed entries, in order, itself).
    // The engine's system id names opcache's file cache, so code cached
    // under other point files is never taken for this process's.
    std::string decisions = (CG(compiler_options) & ZEND_COMPILE_NO_BUILTINS) ? "plain-builtins" : "builtins";
    if (!vorn::addSystemIdEntropy("instrumentation marks", decisions.data(), decisions.size()))
        LOG.logWarning("Compiled code cached by opcache may not follow the point files");
}

void Manager::keepListedBuiltinsCalled()
{
    // Some built-ins are compiled into dedicated operations that never call
    // the function, so a wrapper would never run. When one of them is
    // listed, the compiler is told to compile plain calls instead; code that
    // lists none keeps the faster operations.
    bool needed = false;
    for (const auto& entry : internalFunctions) {
        if (entry.second->classNameLower.empty()
            && InstrumentationRules::compilerReplacesCalls(entry.second->methodNameLower)) {
            LOG.logDbg1("Listed built-in compiled as a plain call:", entry.second->methodNameLower);
            needed = true;
        }
    }
    // The engine's compiler options outlive a restart of the module in the
    // same process: only what was added here is taken back at shutdown.
    if (needed && !(CG(compiler_options) & ZEND_COMPILE_NO_BUILTINS)) {
        CG(compiler_options) |= ZEND_COMPILE_NO_BUILTINS;
        addedNoBuiltins = true;
    }
}

void Manager::shutdown()
{
    LOG.logDbg1("QuilletExtension::shutdown called");
    // A server that restarts the module in the same process (Apache) keeps
    // the engine, which must be left as the next start-up expects it: with
    // no hook or handler into this library, which may be unloaded next.
    ListedFunctionRewriter::uninstall();
    vorn_wrapped_function::uninstallAll(_resourceID);
    vorn::forgetSystemIdEntropy();
    if (addedNoBuiltins)
        CG(compiler_options) &= ~ZEND_COMPILE_NO_BUILTINS;
    addedNoBuiltins = false;
    fiberSwitchesObserved = false;  // the engine forgets its observers when it shuts down
}

void Manager::requestInit()
{
    requestCleanup();
    LOG.logDbg1("QuilletExtension::requestInit called");
}

void Manager::requestCleanup()
{
    depth = 1;
    capturedCount = 0;
    collecting = false;
    reportedExceptionIds.clear();
    sqlManager.cleanup();
    crossVmManager.cleanup();
    crossVmState = 1;
    urlManager->requestCleanup();
    timeval now;
    vorn::getTimeOfDay(&now);
    requestStartMs = vorn::toMilliseconds(now);
    requestMethod = "GET";
    globals.collectEnabled = false;
    openCalls.clear();
    openInternalCalls = 0;
    suspendedCalls.clear();
    switchingTo = nullptr;
    probeCalls = 0;
    shutdownSeen = false;
    bailoutPending = false;
    entryMemo.clear();
    ++requestSerial;  // what was resolved for this request's code only is due again
}

void Manager::forgetOpenCalls()
{
    openCalls.clear();
    openInternalCalls = 0;
    suspendedCalls.clear();
}

// At the end of the request: calls that exit() left open (it skips the
// finally blocks that end them) end as normal completions; calls cut short by
// a fatal error or a time-out end with the error, or are dropped.
void Manager::closeOpenCalls()
{
    if (!CG(unclean_shutdown))
        endCallsLeftByExit();
    closeAbandonedCalls();
    suspendedCalls.clear();  // ended when their fibers suspended
}

// ---- Execution hooks ----------------------------------------------------------

// Once the script's main stack is gone (request shutdown: shutdown functions,
// destructors), calls begun on it that are still open were left by exit(),
// which skips the finally blocks that end them, or by a fatal error: they
// are closed before anything else is timed.
inline void Manager::noteShutdown()
{
    if (!shutdownSeen && (EG(flags) & EG_FLAGS_IN_SHUTDOWN))
        closeCallsLeftAtShutdown();
}

// Inlined: every listed call begins here, and one function is cheaper than
// two.
[[gnu::always_inline]] inline void Manager::beginUserCall(zend_execute_data* executeData, const ZPointFileEntry* entry)
{
    if (!reporter || !entry || !InstrumentationRules::withinCallLimit(capturedCount, globals.max_functions))
        return;
    noteShutdown();
    if (!openCalls.empty()) {
        // An execution is timed once: a begin of the innermost timed
        // execution again can only be a call of the probe's function written
        // by hand into the listed function, and would pile up open calls.
        const OpenCall& innermost = openCalls.back();
        if (innermost.executeData == executeData && !innermost.internalFunction
            && innermost.function == executeData->func)
            return;
    }
    const int32_t callDepth = depthOf(executeData);
    if (!InstrumentationRules::withinDepth(callDepth, globals.max_functions_depth))
        return;
    const zend_op_array& opArray = executeData->func->op_array;
    // Made in its place: nothing is copied for a call that is not kept.
    OpenCall& call = openCalls.emplace_back();
    call.function = executeData->func;
    call.entry = entry;
    call.className = opArray.scope ? opArray.scope->name : nullptr;
    call.methodName = opArray.function_name;
    // The caller is the nearest user code below this execution.
    const zend_execute_data* caller = executeData->prev_execute_data;
    while (caller && !(caller->func && ZEND_USER_CODE(caller->func->type)))
        caller = caller->prev_execute_data;
    if (caller) {
        const zend_op_array& callerArray = caller->func->op_array;
        call.callerClassName = callerArray.scope ? callerArray.scope->name : nullptr;
        call.callerMethodName = callerArray.function_name;
        call.callerLine = caller->opline ? static_cast<int32_t>(caller->opline->lineno) : 0;
    }
    call.fiber = runningFiber();
    call.executeData = executeData;
    call.depth = callDepth;
    call.eventInstance = ZMethodEvent::generateMethodId();
    call.anchor = currentAnchor();
    call.beganClean = !CG(unclean_shutdown);
    vorn::getTimeOfDay(&call.start);
}

// Inlined, as beginUserCall.
[[gnu::always_inline]] inline void Manager::endUserCall(zend_execute_data* executeData, zend_object* exception)
{
    noteShutdown();
    // Normally the innermost open call; calls above it can only be calls
    // whose frames are gone (see endCallsAbove).
    auto open = openCalls.end();
    while (open != openCalls.begin()) {
        --open;
        if (open->executeData == executeData && !open->internalFunction && open->function == executeData->func)
            break;
    }
    if (open == openCalls.end() || open->executeData != executeData || open->internalFunction
        || open->function != executeData->func)
        return;  // this execution was not timed
    if (open->beganClean && CG(unclean_shutdown)) {
        // The engine bailed out of the script while this call ran, and is
        // ending what it left open.
        closeAbandonedCalls();
        return;
    }
    if (open + 1 != openCalls.end())
        endCallsAbove(static_cast<std::size_t>(open - openCalls.begin()));  // keeps `open` valid
    timeval end;
    vorn::getTimeOfDay(&end);
    zend_object* thrown = scriptException(exception);
    depth = open->depth - 1;
    if (reporter
        && (thrown
            || InstrumentationRules::isSlow(elapsedMilliseconds(open->start, end), globals.slow_function_threshold))) {
        keepUserCall(open, end, executeData, thrown);
        return;
    }
    // A call that is not kept leaves no event; it is normally the last.
    if (open + 1 == openCalls.end())
        openCalls.pop_back();
    else
        openCalls.erase(open);
}

namespace {

// The hash the engine keeps with a name (interned names always have it); no
// name: 0. Read as it is, never computed: opcache's strings may be read-only.
inline uint64_t nameHashOf(const zend_string* name)
{
    return name ? static_cast<uint64_t>(ZSTR_H(name)) : 0;
}

} // namespace

// The entry a begin names, as resolved for its code before (the usual case),
// or worked out now.
inline const ZPointFileEntry* Manager::listedEntryOf(const zend_execute_data* frame, int64_t entry, bool byScope)
{
    const zend_op_array& opArray = frame->func->op_array;
    if (entry < 0 || static_cast<uint64_t>(entry) >= listedResolutions.size()) {
        // A trait method listed under the class that uses it.
        return byScope && opArray.scope ? userEntryOf(opArray) : nullptr;
    }
    const ListedResolution& known = listedResolutions[static_cast<std::size_t>(entry)];
    if (known.code == opArray.opcodes && known.name == opArray.function_name && known.scope == opArray.scope
        && known.nameHash == nameHashOf(opArray.function_name)
        && (known.validIn == requestSerial || known.validIn == EVERY_REQUEST))
        return known.entry;
    return resolveListedEntry(opArray, static_cast<std::size_t>(entry), byScope);
}

void Manager::listedCallBegins(zend_execute_data* frame, int64_t entry, bool byScope)
{
    Manager& manager = get();
    if (!manager.collecting || manager.inProbeCall())
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] {
        if (const ZPointFileEntry* listed = manager.listedEntryOf(frame, entry, byScope))
            manager.beginUserCall(frame, listed);
    });
}

void Manager::listedCallEnds(zend_execute_data* frame, zend_object* exception)
{
    Manager& manager = get();
    if (manager.openCalls.empty())
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] { manager.endUserCall(frame, exception); });
    if (manager.bailoutPending)
        resumePendingBailout();
}

const ZPointFileEntry* Manager::resolveListedEntry(const zend_op_array& opArray, std::size_t entry, bool byScope)
{
    const ZPointFileEntry* resolved = nullptr;
    if (byScope && opArray.scope) {
        // A trait method listed under the class that uses it.
        resolved = userEntryOf(opArray);
    }
    const zend_string* name = opArray.function_name;
    if (!resolved && entry < listedUserEntries.size() && name) {
        // The compiled code names its entry; a call made by hand from a
        // script must name the running function.
        const ZPointFileEntry* listed = listedUserEntries[entry].get();
        if (listed
            && zend_binary_strcasecmp(ZSTR_VAL(name), ZSTR_LEN(name), listed->methodNameLower.data(),
                                      listed->methodNameLower.size()) == 0)
            resolved = listed;
    }
    if (entry < listedResolutions.size()) {
        // The class decides a trait method's entry, and a class's address
        // may stand for another class in a later request.
        const bool lasting = !byScope && name && (GC_FLAGS(name) & IS_STR_PERMANENT);
        listedResolutions[entry] = ListedResolution{name, opArray.opcodes, opArray.scope, nameHashOf(name), resolved,
                                                    lasting ? EVERY_REQUEST : requestSerial};
    }
    return resolved;
}

// The depth of a listed frame, counted from the nearest open call below it
// (usually its listed caller a few frames down) instead of from the bottom
// of the stack. Nothing between the two is an open call: it would have
// begun later and be the innermost. The open call is trusted only while its
// frame runs its function. When the whole stack is walked without meeting
// it, its frame is gone: exit() unwinds frames without running the finally
// blocks that end their calls, and runs destructors on the way. Such a call
// ends before the new one begins, so that nesting and depth follow the real
// stack.
int32_t Manager::depthOf(const zend_execute_data* frame)
{
    int32_t executions = 0;
    for (;;) {
        const OpenCall* anchor = openCalls.empty() ? nullptr : &openCalls.back();
        executions = 0;
        const zend_execute_data* at = frame;
        for (; at && executions <= DEPTH_WALK_LIMIT; at = at->prev_execute_data) {
            if (anchor && at == anchor->executeData
                && at->func == (anchor->internalFunction ? anchor->internalFunction : anchor->function))
                return anchor->depth + executions;
            if (at->func && ZEND_USER_CODE(at->func->type))
                ++executions;
        }
        if (!anchor || at)
            break;
        if (anchor->fiber != runningFiber()) {
            // A fiber being destroyed runs on a stack of its own, cut from
            // the code that destroys it: it runs inside that code's calls.
            return anchor->depth + executions;
        }
        if (anchor->beganClean && CG(unclean_shutdown))
            closeAbandonedCalls();  // the engine bailed out of the script
        else
            endCallNow(openCalls.size() - 1);
    }
    if (openInternalCalls > 0)
        return refreshDepth(frame);  // timed internal calls below count as levels
    return 1 + executions;
}

// What noteShutdown found: the script has ended.
void Manager::closeCallsLeftAtShutdown()
{
    shutdownSeen = true;
    if (CG(unclean_shutdown))
        closeAbandonedCalls();
    else
        endCallsLeftByExit();
}

void Manager::endCallsLeftByExit()
{
    // Innermost first, as the calls would have ended. A suspended fiber's
    // calls ended when it suspended.
    for (std::size_t i = openCalls.size(); i-- > 0;) {
        if (!openCalls[i].internalFunction)
            endCallNow(i);
    }
}

// Calls above openCalls[index], which is ending, began inside it, and their
// frames are gone: exit() unwound them without the finally blocks that end
// them (a destructor that throws meanwhile turns the exit into an exception
// that the script may catch; an internal function returns as the exit passes
// through it). They end first, innermost first, so that it ends after them.
void Manager::endCallsAbove(std::size_t index)
{
    while (openCalls.size() > index + 1)
        endCallNow(openCalls.size() - 1);
}

void Manager::endCallNow(std::size_t index)
{
    OpenCall call = std::move(openCalls[index]);
    openCalls.erase(openCalls.begin() + static_cast<std::ptrdiff_t>(index));
    if (call.internalFunction)
        --openInternalCalls;
    else
        depth = call.depth - 1;
    timeval end;
    vorn::getTimeOfDay(&end);
    if (!reporter || !InstrumentationRules::isSlow(elapsedMilliseconds(call.start, end), globals.slow_function_threshold))
        return;
    boost::shared_ptr<ZLocation> location = locationOf(call);
    if (!location)
        return;
    reporter->events.push_back(keepCall(call, location, end));
    reporter->locations.add(location);
    ++capturedCount;
}

// ---- Fibers ---------------------------------------------------------------------

const void* Manager::runningFiber() const
{
    // The engine notes the switch before it makes it.
    return switchingTo ? switchingTo : EG(current_fiber_context);
}

void Manager::fiberSwitched(zend_fiber_context* from, zend_fiber_context* to)
{
    Manager& manager = get();
    if (manager.openCalls.empty() && manager.suspendedCalls.empty())
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] { manager.switchFibers(from, to); });
}

void Manager::switchFibers(zend_fiber_context* from, zend_fiber_context* to)
{
    zend_fiber* entered = to->kind == zend_ce_fiber ? zend_fiber_from_context(to) : nullptr;
    if (from->status == ZEND_FIBER_STATUS_DEAD) {
        // The fiber has returned: its calls ended with it, except those that
        // exit() left open, which end now. After a fatal error they are left
        // for closeAbandonedCalls, which reports the error.
        takeSuspendedCalls(from, false);
        if (!CG(unclean_shutdown))
            endFiberCalls(from, false);
    } else if (!entered || entered->caller != from) {
        // `from` suspends (it is not starting or resuming a fiber of its own,
        // which runs on top of its stack): its calls end as at a yield.
        endFiberCalls(from, true);
    }
    // A fiber that starts may take the place of one that is gone; one that is
    // destroyed while suspended only unwinds, and its calls ended when it
    // suspended.
    const bool unwinding = entered && (entered->flags & ZEND_FIBER_FLAG_DESTROYED);
    takeSuspendedCalls(to, to->status != ZEND_FIBER_STATUS_INIT && !unwinding);
}

void Manager::endFiberCalls(const void* fiber, bool resumeLater)
{
    const std::size_t first = suspendedCalls.size();
    // Innermost first, as they would have ended.
    for (std::size_t i = openCalls.size(); i-- > 0;) {
        const OpenCall& call = openCalls[i];
        if (call.fiber != fiber)
            continue;
        if (resumeLater) {
            suspendedCalls.push_back(SuspendedCall{fiber, call.executeData,
                                                   call.internalFunction ? call.internalFunction : call.function,
                                                   call.internalFunction ? nullptr : call.entry});
        }
        endCallNow(i);
    }
    std::reverse(suspendedCalls.begin() + static_cast<std::ptrdiff_t>(first), suspendedCalls.end());
}

void Manager::takeSuspendedCalls(const void* fiber, bool begin)
{
    if (suspendedCalls.empty())
        return;
    std::vector<SuspendedCall> resumed;
    auto kept = suspendedCalls.begin();
    for (auto call = suspendedCalls.begin(); call != suspendedCalls.end(); ++call) {
        if (call->fiber == fiber)
            resumed.push_back(*call);
        else
            *kept++ = *call;
    }
    suspendedCalls.erase(kept, suspendedCalls.end());
    if (!begin || resumed.empty() || !collecting || inProbeCall())
        return;
    struct Switching {
        Manager& manager;
        ~Switching() { manager.switchingTo = nullptr; }
    } switching{*this};
    switchingTo = fiber;
    // Outermost first; the fiber's frames wait unchanged while it is
    // suspended.
    for (const SuspendedCall& call : resumed) {
        auto* frame = const_cast<zend_execute_data*>(call.executeData);
        if (frame->func != call.function)
            continue;
        if (call.entry)
            beginUserCall(frame, call.entry);
        else
            openInternalCall(frame);
    }
}

void Manager::internalFunctionWrapper(zend_execute_data* executeData, zval* returnValue)
{
    // Only trivially destructible locals live across the engine's handler:
    // a fatal error or time-out leaves it by a long jump. The guards keep
    // errno, so the handler sees the script's and the script the handler's.
    zif_handler saved = vorn_wrapped_function::savedHandlerOf(executeData->func, _resourceID);
    if (!saved) {
        zend_throw_error(nullptr, "Internal function is not available");
        return;
    }
    Manager& manager = get();
    if (!manager.collecting || manager.inProbeCall()) {
        saved(executeData, returnValue);
        return;
    }
    bool timed = false;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] { timed = manager.openInternalCall(executeData); });
    saved(executeData, returnValue);
    if (timed)
        vorn::guardEntry(LOG, "Instrumentation failed:", [&] { manager.closeInternalCall(executeData); });
}

bool Manager::isCoreWrapper(InternalFunctionHandlerBase::Handler handler)
{
    return handler == InternalFunctionHandlerBase::scriptCalls<internalFunctionWrapper>;
}

void Manager::resumePendingBailout()
{
    Manager& manager = get();
    if (manager.bailoutPending) {
        manager.bailoutPending = false;
        zend_bailout();
    }
}

// ---- Recording of calls ---------------------------------------------------------

bool Manager::isOpenInternalFrame(const zend_execute_data* frame) const
{
    for (auto call = openCalls.rbegin(); call != openCalls.rend(); ++call) {
        if (call->internalFunction && call->executeData == frame)
            return true;
    }
    return false;
}

int32_t Manager::refreshDepth(const zend_execute_data* executeData)
{
    // User code counts, and so does an internal call being timed: the
    // callbacks it makes nest inside it.
    int32_t executions = 1;
    for (const zend_execute_data* frame = executeData; frame && executions <= DEPTH_WALK_LIMIT;
         frame = frame->prev_execute_data) {
        if (!frame->func)
            continue;
        if (ZEND_USER_CODE(frame->func->type))
            ++executions;
        else if (openInternalCalls > 0 && isOpenInternalFrame(frame))
            ++executions;
    }
    depth = executions;
    return executions;
}

Manager::EventList::iterator Manager::currentAnchor()
{
    EventList& events = reporter->events;
    return events.empty() ? events.end() : std::prev(events.end());
}

void Manager::placeStartEvent(const OpenCall& call, boost::shared_ptr<ZCaptureEvent>&& startEvent)
{
    EventList& events = reporter->events;
    auto position = call.anchor == events.end() ? events.begin() : std::next(call.anchor);
    // Calls that began earlier from the same place, but ended earlier (a
    // caller whose fiber left this call open), put their starts here first:
    // start events keep the order in which their calls began.
    while (position != events.end() && (*position)->type == METHOD_START
           && static_cast<const ZMethodStartEvent&>(**position).eventInstance < call.eventInstance)
        ++position;
    events.insert(position, std::move(startEvent));
}

void Manager::openUserCall(zend_execute_data* executeData, const ZPointFileEntry* entry)
{
    beginUserCall(executeData, entry);
}

bool Manager::openInternalCall(zend_execute_data* executeData)
{
    if (!reporter || !executeData || !executeData->func)
        return false;
    // Counted from the nearest open call, as for user calls: a wrapped
    // built-in called deep in a framework walks a few frames, not the stack.
    // Calls whose frames went away unended are closed first, so no stale
    // frame is taken for that open call.
    noteShutdown();
    const int32_t current = depthOf(executeData);
    depth = current;
    if (!InstrumentationRules::withinDepth(current, globals.max_functions_depth)
        || !InstrumentationRules::withinCallLimit(capturedCount, globals.max_functions))
        return false;
    OpenCall call;
    call.executeData = executeData;
    call.internalFunction = executeData->func;
    // The caller is the nearest named user function below the call; a frame
    // without a function ends the search.
    for (const zend_execute_data* frame = executeData->prev_execute_data; frame; frame = frame->prev_execute_data) {
        if (!frame->func)
            break;
        if (ZEND_USER_CODE(frame->func->type) && frame->func->op_array.function_name) {
            call.caller = frame->func;
            call.callerLine = frame->opline ? static_cast<int32_t>(frame->opline->lineno) : 0;
            break;
        }
    }
    call.depth = current + 1;
    call.fiber = runningFiber();
    call.eventInstance = ZMethodEvent::generateMethodId();
    call.anchor = currentAnchor();
    call.beganClean = !CG(unclean_shutdown);
    vorn::getTimeOfDay(&call.start);
    openCalls.push_back(std::move(call));
    ++openInternalCalls;
    return true;
}

boost::shared_ptr<ZLocation> Manager::locationOf(const OpenCall& call)
{
    if (!call.internalFunction)
        return buildUserLocation(call);
    boost::shared_ptr<ZLocation> location = internalCalleeLocation(call.internalFunction);
    if (!location)
        return location;
    location->callerClassNameId = tokenOf(call.caller ? className(call.caller->op_array.scope) : std::string());
    location->callerMethodNameId = tokenOf(call.caller ? nameOf(call.caller->op_array.function_name) : std::string());
    location->callerLineNumber = call.caller ? call.callerLine : 0;
    finishLocation(*location);
    return location;
}

boost::shared_ptr<ZLocation> Manager::internalCalleeLocation(const zend_function* function)
{
    std::string cls = className(function->common.scope);
    std::string method = nameOf(function->common.function_name);
    boost::shared_ptr<ZPointFileEntry> entry = getPointFileEntryInternalFunction(method.c_str(), cls.c_str());
    if (!entry)
        return boost::shared_ptr<ZLocation>();
    boost::shared_ptr<ZLocation> location = makeRecycled<ZLocation>();
    location->className = cls;
    location->methodName = method;
    location->calleeClassNameToken = tokenOf(location->className);
    location->calleeMethodNameToken = tokenOf(location->methodName);
    location->layerToken = tokenOf(vorn::fromUtf(entry->layer));
    return location;
}

void Manager::finishLocation(ZLocation& location)
{
    location.layerTypeId = tokenOf("method");
    location.id = ZLocation::nextValue();
    location.makePath();
}

boost::shared_ptr<ZCaptureEvent> Manager::keepCall(const OpenCall& call, const boost::shared_ptr<ZLocation>& location,
                                                   const timeval& end)
{
    placeStartEvent(call, makeStartEvent(call.start, location->id, call.depth, call.eventInstance));
    if (LOG.enabled(VornLog::LEVEL_DBG2))
        LOG.logDbg2(call.internalFunction ? "Captured internal function:" : "Captured function:", pathOf(call, *location));
    // The end event from what its start event was made of.
    boost::shared_ptr<ZMethodEndEvent> event = makeRecycled<ZMethodEndEvent>();
    event->depth = call.depth;
    event->locationId = location->id;
    event->startEventInstanceId = call.eventInstance;
    event->timeInMicroseconds = vorn::toMicroseconds(end);
    return event;
}

std::string Manager::pathOf(const OpenCall& call, const ZLocation& location)
{
    if (call.internalFunction)
        return location.path;
    // A user location keeps no texts: they only serve this log line.
    ZLocation named;
    named.className = vorn::printedName(call.className);
    named.methodName = vorn::printedName(call.methodName);
    return named.makePath();
}

void Manager::closeUserCall(zend_execute_data* executeData, zend_object* exception)
{
    endUserCall(executeData, exception);
}

void Manager::keepUserCall(std::vector<OpenCall>::iterator open, const timeval& end, zend_execute_data* executeData,
                           zend_object* thrown)
{
    OpenCall call = std::move(*open);
    openCalls.erase(open);
    boost::shared_ptr<ZLocation> location = locationOf(call);
    boost::shared_ptr<ZCaptureEvent> endEvent = keepCall(call, location, end);
    if (thrown && EG(current_execute_data))
        setExceptionDetails(endEvent, executeData, thrown);
    reporter->events.push_back(std::move(endEvent));
    reporter->locations.add(location);
    ++capturedCount;
}

void Manager::closeInternalCall(zend_execute_data* executeData)
{
    auto open = openCalls.end();
    while (open != openCalls.begin()) {
        --open;
        if (open->executeData == executeData && open->internalFunction)
            break;
    }
    if (open == openCalls.end() || open->executeData != executeData || !open->internalFunction)
        return;
    if (open->beganClean && CG(unclean_shutdown)) {
        // The engine abandoned the script while this call ran (the memory
        // limit unwinds it as an exit, through the internal functions it
        // ran in): what is open ends with the error, innermost first.
        closeAbandonedCalls();
        return;
    }
    const std::size_t index = static_cast<std::size_t>(open - openCalls.begin());
    endCallsAbove(index);
    // Only slow internal calls are kept; an exception plays no part here.
    endCallNow(index);
}

namespace {

const char* errorTypeName(int type)
{
    switch (type) {
    case E_ERROR: return "E_ERROR";
    case E_CORE_ERROR: return "E_CORE_ERROR";
    case E_COMPILE_ERROR: return "E_COMPILE_ERROR";
    case E_USER_ERROR: return "E_USER_ERROR";
    case E_RECOVERABLE_ERROR: return "E_RECOVERABLE_ERROR";
    case E_PARSE: return "E_PARSE";
    default: return "E_ERROR";
    }
}

} // namespace

void Manager::closeAbandonedCalls()
{
    if (openCalls.empty())
        return;
    std::vector<OpenCall> abandoned;
    abandoned.swap(openCalls);
    openInternalCalls = 0;
    suspendedCalls.clear();
    // The engine's record of the error that stopped the script; a script
    // abandoned for another reason (a lost client) leaves no fatal error, and
    // its open calls are dropped rather than reported as completed.
    const int errorType = PG(last_error_type);
    if (!reporter || !(errorType & E_FATAL_ERRORS) || !PG(last_error_message)) {
        LOG.logDbg1("Dropped calls that did not end:", static_cast<uint64_t>(abandoned.size()));
        return;
    }
    ZPHPException error;
    error.type = errorTypeName(errorType);
    const int cut = messageCut();
    // Of a long message only what the cut keeps, and one byte more, is copied.
    const zend_string* last = PG(last_error_message);
    const std::size_t kept = cut > 0 ? std::min(ZSTR_LEN(last), static_cast<std::size_t>(cut) + 1) : ZSTR_LEN(last);
    error.setErrorMessage(std::string(ZSTR_VAL(last), kept), cut);
    if (PG(last_error_file) && globals.exception_max_frames > 0)
        error.trace = "#0 " + nameOf(PG(last_error_file)) + "(" + std::to_string(PG(last_error_lineno)) + ")\r\n\t";

    timeval end;
    vorn::getTimeOfDay(&end);
    // Innermost first, as the calls would have ended.
    for (auto call = abandoned.rbegin(); call != abandoned.rend(); ++call) {
        boost::shared_ptr<ZLocation> location = locationOf(*call);
        if (!location)
            continue;
        boost::shared_ptr<ZCaptureEvent> endEvent = keepCall(*call, location, end);
        auto* ended = static_cast<ZMethodEndEvent*>(endEvent.get());
        ended->exception = error;
        ended->flags = ZMethodEndEvent::FLAG_EXCEPTION;
        reporter->events.push_back(endEvent);
        reporter->locations.add(location);
        ++capturedCount;
    }
    // The message is the script's (an uncaught exception's, trigger_error's):
    // it cannot end the line.
    LOG.logDbg1("Calls cut short by a fatal error:", static_cast<uint64_t>(abandoned.size()), error.type,
                VornLog::untrusted(error.message));
}

// ---- Locations and events ----------------------------------------------------------

boost::shared_ptr<ZPointFileEntry> Manager::getPointFileEntryInternalFunction(const char* functionName,
                                                                              const char* className) const
{
    auto found = internalFunctions.find(ZPointFile::buildKey(functionName ? functionName : "", className));
    return found == internalFunctions.end() ? boost::shared_ptr<ZPointFileEntry>() : found->second;
}

int32_t Manager::tokenOf(const std::string& text)
{
    return reporter->addString(text);
}

// The caller part of a location, from the calling frame (null: none).
void Manager::fillCaller(ZLocation& location, const zend_execute_data* caller)
{
    std::string callerClass;
    std::string callerMethod;
    int32_t line = 0;
    if (caller) {
        callerClass = className(caller->func->op_array.scope);
        callerMethod = nameOf(caller->func->op_array.function_name);
        if (caller->opline)
            line = static_cast<int32_t>(caller->opline->lineno);
    }
    location.callerClassNameId = tokenOf(callerClass);
    location.callerMethodNameId = tokenOf(callerMethod);
    location.callerLineNumber = line;
}

const ZPointFileEntry* Manager::userEntryOf(const zend_op_array& opArray)
{
    // Memoised by name and class; a hit counts only for the same code, so a
    // name string freed and reused meanwhile is never mistaken.
    const std::pair<const void*, const void*> key(opArray.function_name, opArray.scope);
    auto memo = entryMemo.find(key);
    if (memo != entryMemo.end() && memo->second.opcodes == opArray.opcodes)
        return memo->second.entry;
    std::string function = nameOf(opArray.function_name);
    // Looked up by the whole name: no point file names an anonymous class.
    std::string scope = opArray.scope ? nameOf(opArray.scope->name) : std::string();
    auto found = userFunctions.find(ZPointFile::buildKey(function.c_str(), scope.c_str()));
    const ZPointFileEntry* entry = found == userFunctions.end() ? nullptr : found->second.get();
    if (!entry && opArray.scope)
        entry = traitEntryOf(opArray, opArray.scope, 4);
    entryMemo[key] = MemoEntry{entry, opArray.opcodes};
    return entry;
}

const ZPointFileEntry* Manager::traitEntryOf(const zend_op_array& opArray, const zend_class_entry* user, int levels) const
{
    if (!user || levels <= 0 || user->num_traits == 0 || !user->trait_names)
        return nullptr;
    // The class's copy of a trait method shares the trait method's code.
    for (uint32_t i = 0; i < user->num_traits; ++i) {
        zend_string* traitName = user->trait_names[i].lc_name;
        auto* trait = traitName ? static_cast<zend_class_entry*>(zend_hash_find_ptr(EG(class_table), traitName)) : nullptr;
        if (!trait || !(trait->ce_flags & ZEND_ACC_TRAIT))
            continue;
        void* item = nullptr;
        ZEND_HASH_FOREACH_PTR(&trait->function_table, item) {
            const auto* method = static_cast<const zend_function*>(item);
            if (method->type != ZEND_USER_FUNCTION || method->op_array.opcodes != opArray.opcodes)
                continue;
            std::string name = nameOf(method->common.function_name);
            std::string traitClass = nameOf(trait->name);
            auto found = userFunctions.find(ZPointFile::buildKey(name.c_str(), traitClass.c_str()));
            if (found != userFunctions.end())
                return found->second.get();
            if (const ZPointFileEntry* deeper = traitEntryOf(opArray, trait, levels - 1))
                return deeper;
        } ZEND_HASH_FOREACH_END();
    }
    return nullptr;
}

int32_t Manager::nameToken(const zend_string* name)
{
    // No name (no class, the main script) is the empty text.
    const char* text = name ? ZSTR_VAL(name) : "";
    const std::size_t length = vorn::printedLength(name);
    auto found = tokenMemo.find(name);
    if (found != tokenMemo.end() && found->second.text.size() == length
        && std::memcmp(found->second.text.data(), text, length) == 0)
        return found->second.token;
    MemoToken memo{vorn::printedName(name), 0};
    memo.token = tokenOf(memo.text);
    const int32_t token = memo.token;
    tokenMemo[name] = std::move(memo);
    return token;
}

int32_t Manager::layerTokenOf(const ZPointFileEntry& entry)
{
    auto found = layerTokenMemo.find(&entry);
    if (found != layerTokenMemo.end())
        return found->second;
    int32_t token = tokenOf(vorn::fromUtf(entry.layer));
    layerTokenMemo.emplace(&entry, token);
    return token;
}

void Manager::checkTokenMemos()
{
    // Without opcache every request brings its own name strings: the memos of
    // names start again once they hold more than a site has names.
    const uint64_t generation = reporter->tokenGeneration();
    if (generation == tokenMemoGeneration && tokenMemo.size() <= MAX_TOKEN_MEMO && siteMemo.size() <= MAX_TOKEN_MEMO)
        return;
    tokenMemo.clear();
    layerTokenMemo.clear();
    siteMemo.clear();
    methodLayerTypeToken = -1;
    tokenMemoGeneration = generation;
}

namespace {

// The name's printed text equals `text` (no name: the empty text).
bool sameText(const zend_string* name, const std::string& text)
{
    const std::size_t length = vorn::printedLength(name);
    return text.size() == length && (length == 0 || std::memcmp(text.data(), ZSTR_VAL(name), length) == 0);
}

} // namespace

bool Manager::SiteKey::operator==(const SiteKey& other) const
{
    return className == other.className && methodName == other.methodName && callerClassName == other.callerClassName
        && callerMethodName == other.callerMethodName && entry == other.entry && callerLine == other.callerLine;
}

std::size_t Manager::SiteKeyHash::operator()(const SiteKey& key) const
{
    std::size_t hash = std::hash<const void*>()(key.methodName);
    for (const void* part : {static_cast<const void*>(key.className), static_cast<const void*>(key.callerClassName),
                             static_cast<const void*>(key.callerMethodName), static_cast<const void*>(key.entry)})
        hash = hash * 31u + std::hash<const void*>()(part);
    return hash * 31u + std::hash<int32_t>()(key.callerLine);
}

const Manager::SiteTokens& Manager::siteTokensOf(const OpenCall& call)
{
    const SiteKey key{call.className, call.methodName, call.callerClassName, call.callerMethodName, call.entry,
                      call.callerLine};
    const zend_string* names[4] = {call.className, call.methodName, call.callerClassName, call.callerMethodName};
    auto found = siteMemo.find(key);
    if (found != siteMemo.end()) {
        const SiteTokens& known = found->second;
        // A name string freed and reused since the site was memoised holds
        // another text: the site is then worked out again.
        if (sameText(names[0], known.names[0]) && sameText(names[1], known.names[1])
            && sameText(names[2], known.names[2]) && sameText(names[3], known.names[3]))
            return known;
    }
    SiteTokens tokens;
    for (int i = 0; i < 4; ++i)
        tokens.names[i] = vorn::printedName(names[i]);
    tokens.calleeClassNameToken = nameToken(call.className);
    tokens.calleeMethodNameToken = nameToken(call.methodName);
    tokens.layerToken = layerTokenOf(*call.entry);
    tokens.callerClassNameId = nameToken(call.callerClassName);
    tokens.callerMethodNameId = nameToken(call.callerMethodName);
    return siteMemo[key] = std::move(tokens);
}

boost::shared_ptr<ZLocation> Manager::buildUserLocation(const OpenCall& call)
{
    checkTokenMemos();
    const SiteTokens& site = siteTokensOf(call);
    boost::shared_ptr<ZLocation> location = makeRecycled<ZLocation>();
    location->calleeClassNameToken = site.calleeClassNameToken;
    location->calleeMethodNameToken = site.calleeMethodNameToken;
    location->layerToken = site.layerToken;
    location->callerClassNameId = site.callerClassNameId;
    location->callerMethodNameId = site.callerMethodNameId;
    location->callerLineNumber = call.callerLine;
    if (methodLayerTypeToken < 0)
        methodLayerTypeToken = tokenOf("method");
    location->layerTypeId = methodLayerTypeToken;
    location->id = ZLocation::nextValue();
    return location;
}

boost::shared_ptr<ZLocation> Manager::createLocation(const zend_function* function,
                                                     const zend_execute_data* executeData, bool addNow)
{
    if (!function || !reporter)
        return boost::shared_ptr<ZLocation>();
    boost::shared_ptr<ZLocation> location = internalCalleeLocation(function);
    if (!location)
        return location;

    // The caller is the nearest named user function below the call; a frame
    // without a function ends the search.
    const zend_execute_data* caller = executeData ? executeData->prev_execute_data : nullptr;
    for (; caller; caller = caller->prev_execute_data) {
        if (!caller->func) {
            caller = nullptr;
            break;
        }
        if (ZEND_USER_CODE(caller->func->type) && caller->func->op_array.function_name)
            break;
    }
    fillCaller(*location, caller);
    finishLocation(*location);
    if (addNow)
        reporter->locations.add(location);
    return location;
}

boost::shared_ptr<ZCaptureEvent> Manager::createStartMethodEvent(const timeval& start,
                                                                 const boost::shared_ptr<ZLocation>& location)
{
    return makeStartEvent(start, location ? location->id : -1, depth, ZMethodEvent::generateMethodId());
}

boost::shared_ptr<ZCaptureEvent> Manager::makeStartEvent(const timeval& start, int32_t locationId,
                                                         int32_t eventDepth, int32_t eventInstance)
{
    boost::shared_ptr<ZMethodStartEvent> event = makeRecycled<ZMethodStartEvent>();
    event->depth = eventDepth;
    event->eventInstance = eventInstance;
    event->timeInMicroseconds = vorn::toMicroseconds(start);
    event->locationId = locationId;
    return event;
}

boost::shared_ptr<ZCaptureEvent> Manager::createEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                               const timeval& end)
{
    boost::shared_ptr<ZMethodEndEvent> event = makeRecycled<ZMethodEndEvent>();
    if (const auto* start = dynamic_cast<const ZMethodStartEvent*>(startEvent.get())) {
        event->depth = start->depth;
        event->locationId = start->locationId;
        event->startEventInstanceId = start->eventInstance;
    }
    event->timeInMicroseconds = vorn::toMicroseconds(end);
    return event;
}

// ---- Cross-VM support --------------------------------------------------------------------

void Manager::testForCrossVM(VornLog& log)
{
    if (crossVmState != 1)
        return;
    crossVmState = 0;
    vorn::guardEntry(LOG, "Cross-VM sampling failed:", [&] {
        if (urlManager->hasCrossVmHttpHeader(log)) {
            crossVmState |= 8;
            return;
        }
        crossVmState |= 2;
        if (urlManager->takeCrossVmSample(log))
            crossVmState |= 4;
    });
}

CorrelationToken::RequestInfo Manager::getRequestInfo()
{
    CorrelationToken::RequestInfo info;
    info.startMs = requestStartMs;
    info.agentId = agentId;
    info.method = requestMethod;
    vorn::guardEntry(LOG, "Failed to read the request URL:", [&] { info.uri = urlManager->getCurrentURI(LOG, false); });
    return info;
}

// ---- Wrapping of internal functions --------------------------------------------------------

void Manager::wrapInternalFunctions()
{
    for (const auto& entry : pointFile.entries)
        wrapInternalFunction(entry);
}

void Manager::wrapInternalFunction(const boost::shared_ptr<ZPointFileEntry>& entry)
{
    if (!entry)
        return;
    HashTable* table = CG(function_table);
    zend_class_entry* ce = nullptr;
    if (!entry->classNameLower.empty()) {
        ce = static_cast<zend_class_entry*>(zend_hash_str_find_ptr(
            CG(class_table), entry->classNameLower.data(), entry->classNameLower.size()));
        // A class that is not loaded now is a user class: its method is
        // timed when it runs. A global function of the same name is no
        // stand-in for it.
        if (!ce)
            return;
        table = &ce->function_table;
    }
    if (!table)
        return;
    auto* function = static_cast<zend_function*>(
        zend_hash_str_find_ptr(table, entry->methodNameLower.data(), entry->methodNameLower.size()));
    if (!function || function->type != ZEND_INTERNAL_FUNCTION)
        return;

    zif_handler handler = function->internal_function.handler;
    if (isCoreWrapper(handler)) {
        LOG.logDbg1("Function:", entry->key, "already hooked");
        return;
    }
    if (globals.enable_crossvm && crossVmManager.isHooked(handler)) {
        LOG.logDbg1("Function:", entry->key, "already hooked (CrossVM)");
        return;
    }
    if (sqlManager.isHooked(handler)) {
        LOG.logDbg1("Function:", entry->key, "already hooked (SQL)");
        return;
    }

    vorn_wrapped_function record = vorn_wrapped_function::from(function);
    if (sqlManager.hook(entry->key, record)) {
        LOG.logDbg1("SQL Method:", entry->key);
    } else if (globals.enable_crossvm && crossVmManager.hook(entry->key, record)) {
        LOG.logDbg1("CrossVM Method:", entry->key);
    } else {
        LOG.logDbg2("Wrapping function:", entry->key);
        record.function.handler = InternalFunctionHandlerBase::scriptCalls<internalFunctionWrapper>;
    }
    // The live record is changed in place, so every pointer to it (the class's
    // constructor and other magic-method pointers, prototypes) and every copy
    // made later by inheritance runs the replacement.
    vorn_wrapped_function::install(function, record, _resourceID);
    if (ce)
        wrapInheritedCopies(ce, function, record);
    entry->flags |= ZPointFileEntry::FLAG_WRAPPED;
}

void Manager::wrapInheritedCopies(const zend_class_entry* declaring, const zend_function* function,
                                  const vorn_wrapped_function& record)
{
    // Built-in subclasses got their own copies of the method when the engine
    // started (RuntimeException's getMessage is a copy of Exception's): each
    // inherited, not overridden, copy runs the same replacement.
    const zend_string* name = function->common.function_name;
    if (!name)
        return;
    void* item = nullptr;
    ZEND_HASH_FOREACH_PTR(CG(class_table), item) {
        auto* candidate = static_cast<zend_class_entry*>(item);
        if (!candidate || candidate == declaring || candidate->type != ZEND_INTERNAL_CLASS
            || !instanceof_function(candidate, declaring))
            continue;
        auto* copy = vorn_wrapped_function::findMethod(&candidate->function_table, name);
        if (!copy || copy == function || copy->type != ZEND_INTERNAL_FUNCTION
            || copy->common.scope != function->common.scope
            || copy->internal_function.handler != record.savedHandler)
            continue;
        vorn_wrapped_function copyRecord = vorn_wrapped_function::from(copy);
        copyRecord.function.handler = record.function.handler;
        vorn_wrapped_function::install(copy, copyRecord, _resourceID);
    } ZEND_HASH_FOREACH_END();
}

// ---- Exception details -------------------------------------------------------------------------

void Manager::setExceptionDetails(const boost::shared_ptr<ZCaptureEvent>& endEvent, zend_execute_data* executeData,
                                  zend_object* exception)
{
    if (InstrumentationRules::exceptionLimitReached(reportedExceptionIds.size(), globals.max_exceptions)) {
        LOG.logDbg1("Discarding exception: too many exception");
        return;
    }
    zend_object* pending = exception ? scriptException(exception) : scriptException();
    if (!pending)
        return;
    zval object;
    ZVAL_OBJ(&object, pending);
    const uint64_t id = static_cast<uint64_t>(vorn::getObjectId(&object));
    if (!reportedExceptionIds.insert(id).second)
        return;
    ZPHPException details = formatException(executeData, pending);
    if (LOG.enabled(VornLog::LEVEL_DBG2))
        LOG.logDbg2("Function ended with exception:", "\n",
                    details.type + ":" + VornLog::escaped(details.message) + "\r\n\t" + details.trace);
    auto* end = dynamic_cast<ZMethodEndEvent*>(endEvent.get());
    if (!end)
        return;
    end->exception.message = details.message;
    end->exception.trace = details.trace;
    end->exception.type = details.type;
    end->flags = ZMethodEndEvent::FLAG_EXCEPTION;
}

ZPHPException Manager::formatException(zend_execute_data* executeData, zend_object* exception)
{
    ZPHPException details;
    getExceptionsDetails(executeData, details, exception);
    return details;
}

void Manager::getExceptionsDetails(zend_execute_data*, ZPHPException& details, zend_object* exception)
{
    zend_object* pending = exception ? scriptException(exception) : scriptException();
    if (!pending)
        return;
    zval object;
    ZVAL_OBJ(&object, pending);
    const uint64_t frames = globals.exception_max_frames;
    getBacktrace(details.trace, frames > 1000 ? 1000 : static_cast<int>(frames), &object);
    if (pending->ce)
        details.type = vorn::printedName(pending->ce->name);
    const int maxLength = messageCut();
    zval result;
    if (callClassMethod(&object, L"getMessage", &result)) {
        const bool usable = Z_TYPE(result) == IS_STRING && Z_STRLEN(result) > 0 && Z_STRVAL(result)[0] != '\0';
        if (usable)
            details.setErrorMessage(Z_STRVAL(result), Z_STRLEN(result), maxLength);
        zval_ptr_dtor(&result);
        if (usable)
            return;
    }
    LOG.logDbg1("Exception has no message, using the message type");
    details.setErrorMessage(details.type, maxLength);
}

void Manager::getBacktrace(std::string& text, int count, zval* object)
{
    text.clear();
    if (count <= 0)
        return;
    zval result;
    if (!callClassMethod(object, L"getTraceAsString", &result))
        return;
    std::string trace;
    if (Z_TYPE(result) == IS_STRING)
        trace.assign(Z_STRVAL(result), strnlen(Z_STRVAL(result), Z_STRLEN(result)));
    zval_ptr_dtor(&result);
    text = InstrumentationRules::firstLines(trace, count);
}

bool Manager::callClassMethod(zval* object, const std::wstring& name, zval* result)
{
    ZVAL_UNDEF(result);
    // Once the engine has begun abandoning the script, no more PHP code runs
    // on the probe's behalf.
    if (bailoutPending || !object || Z_TYPE_P(object) != IS_OBJECT)
        return false;
    zend_object* target = Z_OBJ_P(object);
    zend_function* method = nullptr;
    {
        std::string lower = vorn::fromUtf(name);
        vorn::toLower(lower);
        method = static_cast<zend_function*>(
            zend_hash_str_find_ptr(&target->ce->function_table, lower.data(), lower.size()));
    }
    if (!method)
        return false;

    return callKnownMethod(method, target, result);
}

bool Manager::callKnownMethod(zend_function* method, zend_object* target, zval* result)
{
    ZVAL_UNDEF(result);
    if (bailoutPending)
        return false;
    // The engine runs no function while an exception is pending: the
    // script's exception is set aside and put back exactly as it was; an
    // exception thrown by the called method is not the script's.
    // Nothing it runs is the application's: no call is recorded meanwhile.
    volatile bool bailedOut = false;
    probeCallBegins();
    {
        vorn::ScopedExceptionState scriptState;
        zend_try {
            zend_call_known_instance_method(method, target, result, 0, nullptr);
        } zend_catch {
            bailedOut = true;
        } zend_end_try();
    }
    probeCallEnds();

    if (bailedOut) {
        // The engine is abandoning the script (fatal error, time-out): the long
        // jump resumes at the entry point, once the probe's objects are gone.
        bailoutPending = true;
        ZVAL_UNDEF(result);
        return false;
    }
    return !Z_ISUNDEF_P(result);
}
