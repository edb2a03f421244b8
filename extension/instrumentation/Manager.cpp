#include "extension/instrumentation/Manager.h"

#include <cstring>
#include <exception>
#include <iterator>

#include <boost/make_shared.hpp>

#include "php.h"
#include "zend_exceptions.h"
#include "zend_fibers.h"

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/EngineServerVariables.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/InternalFunctionHandlerBase.h"
#include "extension/instrumentation/ListedFunctionRewriter.h"
#include "extension/engine/VornEngine.h"
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

std::string className(const zend_class_entry* scope)
{
    return scope ? nameOf(scope->name) : std::string();
}

uint64_t elapsedMilliseconds(const timeval& start, const timeval& end)
{
    timeval diff;
    vorn::timeDiff(start, end, diff);
    return vorn::toMilliseconds(diff);
}

void logFailure(const char* where, const std::exception* error)
{
    try {
        Manager::LOG.logError(where, error ? error->what() : "unknown error");
    } catch (...) {
    }
}

} // namespace

Manager& Manager::get()
{
    static Manager instance;
    return instance;
}

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
    ListedFunctionRewriter::install(targets);
}

void Manager::startup()
{
    LOG.logDbg1("QuilletExtension::startup called");
    try {
        reporter.reset(new ZEventsReporter(LOG, globals));
        InternalFunctionHandlerBase::_manager = this;
        LOG.logDbg1("Loading Point-File...");
        try {
            pointFile.load(globals.install_dir + L"/etc", LOG);
        } catch (const zException& e) {
            // The entries read before the failing file stay in use.
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
        instrumentListedUserFunctions();
    } catch (const zException& e) {
        LOG.logError("Error while loading Points file:", e.message);
    } catch (const std::exception& e) {
        logFailure("Error while loading Points file:", &e);
    }
}

void Manager::shutdown()
{
    LOG.logDbg1("QuilletExtension::shutdown called");
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
    shutdownSeen = false;
    bailoutPending = false;
    entryMemo.clear();
    tokenMemo.clear();
    layerTokenMemo.clear();
    methodLayerTypeToken = -1;
}

void Manager::dropUnfinishedCalls()
{
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] { closeCallsLeftOpen(false); });
    openCalls.clear();
    if (!reporter)
        return;
    std::size_t dropped = InstrumentationRules::dropUnfinishedStarts(reporter->events, reporter->locations);
    if (dropped)
        LOG.logDbg1("Dropped start events of calls that did not end:", static_cast<uint64_t>(dropped));
}

// ---- Execution hooks ----------------------------------------------------------

void Manager::listedCallBegins(zend_execute_data* frame, int64_t entry, bool byScope)
{
    Manager& manager = get();
    if (!manager.collecting)
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] {
        if (const ZPointFileEntry* listed = manager.listedEntryOf(frame, entry, byScope))
            manager.beginCall(frame, listed);
    });
}

void Manager::listedCallEnds(zend_execute_data* frame, zend_object* exception)
{
    Manager& manager = get();
    if (manager.openCalls.empty())
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:", [&] { manager.endCall(frame, exception); });
    resumePendingBailout();
}

void Manager::resumePendingBailout()
{
    Manager& manager = get();
    if (manager.bailoutPending) {
        manager.bailoutPending = false;
        zend_bailout();
    }
}

int32_t Manager::refreshDepth(const zend_execute_data* executeData)
{
    int32_t executions = 1;
    for (const zend_execute_data* frame = executeData; frame && executions <= DEPTH_WALK_LIMIT;
         frame = frame->prev_execute_data) {
        if (frame->func && ZEND_USER_CODE(frame->func->type))
            ++executions;
    }
    depth = executions;
    return executions;
}

// The depth of a listed frame, counted from the nearest open call below it
// (usually its listed caller a few frames down), not from the bottom of the
// stack. The open call is trusted only while its frame still runs its
// function: calls whose frames went away unended are closed at shutdown.
int32_t Manager::depthOf(const zend_execute_data* frame) const
{
    const OpenCall* anchor = openCalls.empty() ? nullptr : &openCalls.back();
    int32_t executions = 0;
    for (const zend_execute_data* at = frame; at && executions <= DEPTH_WALK_LIMIT; at = at->prev_execute_data) {
        if (anchor && at == anchor->executeData && at->func == anchor->function)
            return anchor->depth + executions;
        if (at->func && ZEND_USER_CODE(at->func->type))
            ++executions;
    }
    return 1 + executions;
}

const ZPointFileEntry* Manager::listedEntryOf(const zend_execute_data* frame, int64_t entry, bool byScope)
{
    const zend_op_array& opArray = frame->func->op_array;
    if (byScope && opArray.scope) {
        // A trait method listed under the class that uses it.
        if (const ZPointFileEntry* own = userEntryOf(opArray))
            return own;
    }
    if (entry < 0 || static_cast<uint64_t>(entry) >= listedUserEntries.size())
        return nullptr;
    const ZPointFileEntry* listed = listedUserEntries[static_cast<std::size_t>(entry)].get();
    // The compiled code names its entry; a call made by hand from a script
    // (or stale code) must name the running function.
    const zend_string* name = opArray.function_name;
    if (!listed || !name
        || zend_binary_strcasecmp(ZSTR_VAL(name), ZSTR_LEN(name), listed->methodNameLower.data(),
                                  listed->methodNameLower.size()) != 0)
        return nullptr;
    return listed;
}

// Once the script's main stack is gone (request shutdown: shutdown functions,
// destructors), calls begun on it that are still open were left by exit() or
// a fatal error: they are closed before anything else is timed.
void Manager::noteShutdown()
{
    if (shutdownSeen || !(EG(flags) & EG_FLAGS_IN_SHUTDOWN))
        return;
    shutdownSeen = true;
    closeCallsLeftOpen(true);
}

void Manager::closeCallsLeftOpen(bool mainStackOnly)
{
    // A fatal error or a time-out (the engine bailed out): the calls did not
    // complete, they are dropped. Otherwise exit() ended them.
    const bool cutShort = CG(unclean_shutdown) != 0;
    for (std::size_t i = openCalls.size(); i-- > 0;) {
        if (mainStackOnly && openCalls[i].inFiber)
            continue;
        OpenCall call = std::move(openCalls[i]);
        openCalls.erase(openCalls.begin() + static_cast<std::ptrdiff_t>(i));
        if (!cutShort)
            finishCall(std::move(call), nullptr, nullptr);
    }
}

void Manager::beginCall(zend_execute_data* frame, const ZPointFileEntry* entry)
{
    if (!reporter || !InstrumentationRules::withinCallLimit(capturedCount, globals.max_functions))
        return;
    noteShutdown();
    const int32_t callDepth = depthOf(frame);
    if (!InstrumentationRules::withinDepth(callDepth, globals.max_functions_depth))
        return;
    const zend_op_array& opArray = frame->func->op_array;
    OpenCall call;
    call.executeData = frame;
    call.function = frame->func;
    call.entry = entry;
    call.className = opArray.scope ? opArray.scope->name : nullptr;
    call.methodName = opArray.function_name;
    // The caller is the nearest user code below this execution.
    const zend_execute_data* caller = frame->prev_execute_data;
    while (caller && !(caller->func && ZEND_USER_CODE(caller->func->type)))
        caller = caller->prev_execute_data;
    if (caller) {
        const zend_op_array& callerArray = caller->func->op_array;
        call.callerClassName = callerArray.scope ? callerArray.scope->name : nullptr;
        call.callerMethodName = callerArray.function_name;
        call.callerLine = caller->opline ? static_cast<int32_t>(caller->opline->lineno) : 0;
    } else {
        call.callerClassName = nullptr;
        call.callerMethodName = nullptr;
        call.callerLine = 0;
    }
    call.inFiber = EG(active_fiber) != nullptr;
    call.depth = callDepth;
    call.eventInstance = ZMethodEvent::generateMethodId();
    call.eventsBefore = reporter->events.size();
    vorn::getTimeOfDay(&call.start);
    openCalls.push_back(std::move(call));
}

void Manager::endCall(zend_execute_data* frame, zend_object* exception)
{
    noteShutdown();
    // Normally the innermost open call; calls above it can only belong to a
    // fiber that was suspended inside them, and they stay open.
    auto open = openCalls.end();
    while (open != openCalls.begin()) {
        --open;
        if (open->executeData == frame && open->function == frame->func)
            break;
    }
    if (open == openCalls.end() || open->executeData != frame || open->function != frame->func)
        return;  // this execution was not timed
    OpenCall call = std::move(*open);
    openCalls.erase(open);
    finishCall(std::move(call), exception, frame);
}

void Manager::finishCall(OpenCall&& call, zend_object* exception, zend_execute_data* frame)
{
    timeval end;
    vorn::getTimeOfDay(&end);
    zend_object* thrown = scriptException(exception);
    const uint64_t elapsedMs = elapsedMilliseconds(call.start, end);
    depth = call.depth - 1;
    if (!reporter)
        return;
    if (!thrown && !InstrumentationRules::isSlow(elapsedMs, globals.slow_function_threshold))
        return;  // a call that is not kept leaves no event

    boost::shared_ptr<ZLocation> location = buildLocation(call);
    boost::shared_ptr<ZCaptureEvent> startEvent =
        makeStartEvent(call.start, location->id, call.depth, call.eventInstance);
    std::list<boost::shared_ptr<ZCaptureEvent>>& events = reporter->events;
    if (call.eventsBefore <= events.size()) {
        auto position = events.end();
        std::advance(position, -static_cast<std::ptrdiff_t>(events.size() - call.eventsBefore));
        // A call that began earlier but ended later than its nested ones (a
        // caller whose fiber left a call open) put its start here already:
        // start events keep the order in which their calls began.
        while (position != events.end() && (*position)->type == METHOD_START
               && static_cast<const ZMethodStartEvent&>(**position).eventInstance < call.eventInstance)
            ++position;
        events.insert(position, startEvent);
    } else {
        events.push_back(startEvent);  // the list was emptied meanwhile
    }
    boost::shared_ptr<ZCaptureEvent> endEvent = createEndMethodEvent(startEvent, end);
    if (LOG.enabled(VornLog::LEVEL_DBG2))
        LOG.logDbg2("Captured function:", location->path);
    // No PHP code may run once the engine has left the script (open calls
    // ended at request shutdown after a fatal error).
    if (thrown && frame && EG(current_execute_data))
        setExceptionDetails(endEvent, frame, thrown);
    events.push_back(endEvent);
    reporter->locations.add(location);
    ++capturedCount;
}

void Manager::internalFunctionWrapper(zend_execute_data* executeData, zval* returnValue)
{
    // Only trivially destructible locals live across the engine's handler:
    // a fatal error or time-out leaves it by a long jump.
    zif_handler saved = vorn_wrapped_function::savedHandlerOf(executeData->func, _resourceID);
    if (!saved) {
        zend_throw_error(nullptr, "Internal function is not available");
        return;
    }
    Manager& manager = get();
    if (!manager.collecting || !manager.reporter
        || !InstrumentationRules::withinDepth(manager.refreshDepth(executeData), globals.max_functions_depth)
        || !InstrumentationRules::withinCallLimit(manager.capturedCount, globals.max_functions)) {
        saved(executeData, returnValue);
        return;
    }
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    saved(executeData, returnValue);
    vorn::getTimeOfDay(&end);
    if (!InstrumentationRules::isSlow(elapsedMilliseconds(start, end), globals.slow_function_threshold))
        return;
    vorn::guardEntry(LOG, "Instrumentation failed:",
                     [&] { manager.recordInternalCall(executeData->func, executeData, start, end); });
}

void Manager::recordInternalCall(const zend_function* function, zend_execute_data* executeData,
                                 const timeval& start, const timeval& end)
{
    boost::shared_ptr<ZLocation> location = createLocation(function, executeData, false);
    if (!location)
        return;
    if (LOG.enabled(VornLog::LEVEL_DBG2))
        LOG.logDbg2("Captured internal function:", location->path);
    const int32_t current = refreshDepth(executeData);
    depth = current + 1;
    boost::shared_ptr<ZCaptureEvent> startEvent = createStartMethodEvent(start, location);
    depth = current;
    reporter->events.push_back(startEvent);
    reporter->events.push_back(createEndMethodEvent(startEvent, end));
    reporter->locations.add(location);
    ++capturedCount;
}

// ---- Listed user functions ---------------------------------------------------------
bool Manager::isInstrumentationRequired(const zend_op_array* opArray) const
{
    if (!opArray || !opArray->function_name)
        return false;
    std::string function = nameOf(opArray->function_name);
    std::string scope = className(opArray->scope);
    return userFunctions.count(ZPointFile::buildKey(function.c_str(), scope.c_str())) != 0;
}

// ---- Locations and events ----------------------------------------------------------

boost::shared_ptr<ZPointFileEntry> Manager::getPointFileEntryUserFunction(const zend_execute_data* executeData) const
{
    if (!executeData || !executeData->func || !ZEND_USER_CODE(executeData->func->type))
        return boost::shared_ptr<ZPointFileEntry>();
    const zend_op_array& opArray = executeData->func->op_array;
    std::string function = nameOf(opArray.function_name);
    std::string scope = className(opArray.scope);
    auto found = userFunctions.find(ZPointFile::buildKey(function.c_str(), scope.c_str()));
    return found == userFunctions.end() ? boost::shared_ptr<ZPointFileEntry>() : found->second;
}

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

boost::shared_ptr<ZLocation> Manager::createLocation(const zend_execute_data* executeData, bool addNow)
{
    LocationDraft draft;
    if (!draftUserLocation(executeData, draft))
        return boost::shared_ptr<ZLocation>();
    boost::shared_ptr<ZLocation> location = buildLocation(draft);
    if (addNow)
        reporter->locations.add(location);
    return location;
}

namespace {

// The entry is the one of this function and class (names compared caselessly).
bool entryNames(const ZPointFileEntry& entry, const zend_op_array& opArray)
{
    const zend_string* function = opArray.function_name;
    if (!function || zend_binary_strcasecmp(ZSTR_VAL(function), ZSTR_LEN(function), entry.methodNameLower.data(),
                                            entry.methodNameLower.size()) != 0)
        return false;
    if (!opArray.scope)
        return entry.classNameLower.empty();
    const zend_string* scope = opArray.scope->name;
    return zend_binary_strcasecmp(ZSTR_VAL(scope), ZSTR_LEN(scope), entry.classNameLower.data(),
                                  entry.classNameLower.size()) == 0;
}

} // namespace

const ZPointFileEntry* Manager::userEntryOf(const zend_op_array& opArray)
{
    const std::pair<const void*, const void*> key(opArray.function_name, opArray.scope);
    auto memo = entryMemo.find(key);
    if (memo != entryMemo.end() && memo->second && entryNames(*memo->second, opArray))
        return memo->second;
    std::string function = nameOf(opArray.function_name);
    std::string scope = className(opArray.scope);
    auto found = userFunctions.find(ZPointFile::buildKey(function.c_str(), scope.c_str()));
    const ZPointFileEntry* entry = found == userFunctions.end() ? nullptr : found->second.get();
    entryMemo[key] = entry;
    return entry;
}

int32_t Manager::nameToken(const zend_string* name)
{
    // No name (no class, the main script) is the empty text.
    const char* text = name ? ZSTR_VAL(name) : "";
    const std::size_t length = name ? ZSTR_LEN(name) : 0;
    auto found = tokenMemo.find(name);
    if (found != tokenMemo.end() && found->second.text.size() == length
        && std::memcmp(found->second.text.data(), text, length) == 0)
        return found->second.token;
    MemoToken memo{nameOf(name), 0};
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

bool Manager::draftUserLocation(const zend_execute_data* executeData, LocationDraft& draft)
{
    if (!reporter || !executeData || !executeData->func || !ZEND_USER_CODE(executeData->func->type))
        return false;
    const zend_op_array& opArray = executeData->func->op_array;
    draft.entry = userEntryOf(opArray);
    if (!draft.entry)
        return false;
    draft.className = opArray.scope ? opArray.scope->name : nullptr;
    draft.methodName = opArray.function_name;
    draft.fields.calleeClassNameToken = nameToken(draft.className);
    draft.fields.calleeMethodNameToken = nameToken(draft.methodName);
    draft.fields.layerToken = layerTokenOf(*draft.entry);

    // The caller is the nearest user code below this execution.
    const zend_execute_data* caller = executeData->prev_execute_data;
    while (caller && !(caller->func && ZEND_USER_CODE(caller->func->type)))
        caller = caller->prev_execute_data;
    if (caller) {
        const zend_op_array& callerArray = caller->func->op_array;
        draft.fields.callerClassNameId = nameToken(callerArray.scope ? callerArray.scope->name : nullptr);
        draft.fields.callerMethodNameId = nameToken(callerArray.function_name);
        draft.fields.callerLineNumber = caller->opline ? static_cast<int32_t>(caller->opline->lineno) : 0;
    } else {
        draft.fields.callerClassNameId = nameToken(nullptr);
        draft.fields.callerMethodNameId = nameToken(nullptr);
        draft.fields.callerLineNumber = 0;
    }

    if (methodLayerTypeToken < 0)
        methodLayerTypeToken = tokenOf("method");
    draft.fields.layerTypeId = methodLayerTypeToken;
    draft.fields.id = ZLocation::nextValue();
    return true;
}

boost::shared_ptr<ZLocation> Manager::buildLocation(const OpenCall& call)
{
    boost::shared_ptr<ZLocation> location = boost::make_shared<ZLocation>();
    location->calleeClassNameToken = nameToken(call.className);
    location->calleeMethodNameToken = nameToken(call.methodName);
    location->layerToken = layerTokenOf(*call.entry);
    location->callerClassNameId = nameToken(call.callerClassName);
    location->callerMethodNameId = nameToken(call.callerMethodName);
    location->callerLineNumber = call.callerLine;
    if (methodLayerTypeToken < 0)
        methodLayerTypeToken = tokenOf("method");
    location->layerTypeId = methodLayerTypeToken;
    location->id = ZLocation::nextValue();
    location->className = nameOf(call.className);
    location->methodName = nameOf(call.methodName);
    location->makePath();
    return location;
}

boost::shared_ptr<ZLocation> Manager::buildLocation(const LocationDraft& draft) const
{
    boost::shared_ptr<ZLocation> location = boost::make_shared<ZLocation>(draft.fields);
    location->className = nameOf(draft.className);
    location->methodName = nameOf(draft.methodName);
    location->makePath();
    return location;
}

boost::shared_ptr<ZLocation> Manager::createLocation(const zend_function* function,
                                                     const zend_execute_data* executeData, bool addNow)
{
    if (!function || !reporter)
        return boost::shared_ptr<ZLocation>();
    std::string cls = className(function->common.scope);
    std::string method = nameOf(function->common.function_name);
    boost::shared_ptr<ZPointFileEntry> entry = getPointFileEntryInternalFunction(method.c_str(), cls.c_str());
    if (!entry)
        return boost::shared_ptr<ZLocation>();
    boost::shared_ptr<ZLocation> location = boost::make_shared<ZLocation>();
    location->className = cls;
    location->methodName = method;
    location->calleeClassNameToken = tokenOf(location->className);
    location->calleeMethodNameToken = tokenOf(location->methodName);
    location->layerToken = tokenOf(vorn::fromUtf(entry->layer));

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

    location->layerTypeId = tokenOf("method");
    location->id = ZLocation::nextValue();
    location->makePath();
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
    boost::shared_ptr<ZMethodStartEvent> event = boost::make_shared<ZMethodStartEvent>();
    event->depth = eventDepth;
    event->eventInstance = eventInstance;
    event->timeInMicroseconds = vorn::toMicroseconds(start);
    event->locationId = locationId;
    return event;
}

boost::shared_ptr<ZCaptureEvent> Manager::createEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                               const timeval& end)
{
    boost::shared_ptr<ZMethodEndEvent> event = boost::make_shared<ZMethodEndEvent>();
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
    try {
        if (urlManager->hasCrossVmHttpHeader(log)) {
            crossVmState |= 8;
            return;
        }
        crossVmState |= 2;
        ZShmUrlHash::ZSemLocker locker(urlManager->getUrlTable().getSemaphore());
        if (!locker.owns())
            return;  // the bounded wait gave up; already logged
        if (urlManager->sampleCrossVM(log, false)) {
            crossVmState |= 4;
            urlManager->updateUrlTimestamp(log, false);
        }
    } catch (const std::exception& e) {
        logFailure("Cross-VM sampling failed:", &e);
    }
}

CorrelationToken::RequestInfo Manager::getRequestInfo()
{
    CorrelationToken::RequestInfo info;
    info.startMs = requestStartMs;
    info.agentId = agentId;
    info.method = requestMethod;
    try {
        info.uri = urlManager->getCurrentURI(LOG, false);
    } catch (const std::exception& e) {
        logFailure("Failed to read the request URL:", &e);
    }
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
    if (!entry->classNameLower.empty()) {
        auto* ce = static_cast<zend_class_entry*>(zend_hash_str_find_ptr(
            CG(class_table), entry->classNameLower.data(), entry->classNameLower.size()));
        if (ce)
            table = &ce->function_table;
    }
    if (!table)
        return;
    auto* function = static_cast<zend_function*>(
        zend_hash_str_find_ptr(table, entry->methodNameLower.data(), entry->methodNameLower.size()));
    if (!function || function->type != ZEND_INTERNAL_FUNCTION)
        return;

    zif_handler handler = function->internal_function.handler;
    if (handler == internalFunctionWrapper) {
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
        record.function.handler = internalFunctionWrapper;
    }
    // The live record is changed in place, so every pointer to it (the class's
    // constructor and other magic-method pointers, prototypes) and every copy
    // made later by inheritance runs the replacement.
    vorn_wrapped_function::install(function, record, _resourceID);
    entry->flags |= ZPointFileEntry::FLAG_WRAPPED;
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
                    details.type + ":" + details.message + "\r\n\t" + details.trace);
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
        details.type = nameOf(pending->ce->name);
    const int maxLength = static_cast<int>(globals.exception_max_message_length > 1000 ? 1000
                                                                                     : globals.exception_max_message_length);
    zval result;
    if (callClassMethod(&object, L"getMessage", &result)) {
        const bool usable = Z_TYPE(result) == IS_STRING && Z_STRLEN(result) > 0 && Z_STRVAL(result)[0] != '\0';
        if (usable)
            details.setErrorMessage(std::string(Z_STRVAL(result), strnlen(Z_STRVAL(result), Z_STRLEN(result))), maxLength);
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

    // The engine runs no function while an exception is pending: the
    // script's exception is set aside and put back exactly as it was; an
    // exception thrown by the called method is not the script's.
    bool bailedOut = false;
    {
        vorn::ScopedExceptionState scriptState;
        zend_try {
            zend_call_known_instance_method(method, target, result, 0, nullptr);
        } zend_catch {
            bailedOut = true;
        } zend_end_try();
    }

    if (bailedOut) {
        // The engine is abandoning the script (fatal error, time-out): the long
        // jump resumes at the entry point, once the probe's objects are gone.
        bailoutPending = true;
        ZVAL_UNDEF(result);
        return false;
    }
    if (Z_ISUNDEF_P(result))
        return false;
    return true;
}
