#include "extension/instrumentation/InternalFunctionHandlerBase.h"

#include <boost/make_shared.hpp>

#include "php.h"

#include "common/VornUtils.h"

#include "extension/engine/EngineBoundary.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/Manager.h"
#include "extension/engine/vorn_wrapped_function.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"

Manager* InternalFunctionHandlerBase::_manager = nullptr;

InternalFunctionHandlerBase::~InternalFunctionHandlerBase() = default;

bool InternalFunctionHandlerBase::hook(const std::wstring& key, vorn_wrapped_function& record)
{
    Handler handler = getFunctionHandler(key);
    if (handler == nullptr)
        return false;
    record.function.handler = handler;
    return true;
}

bool InternalFunctionHandlerBase::isHooked(Handler handler) const
{
    for (const auto& entry : handlers) {
        if (entry.second == handler)
            return true;
    }
    return false;
}

InternalFunctionHandlerBase::Handler InternalFunctionHandlerBase::getFunctionHandler(const std::wstring& key) const
{
    auto found = handlers.find(key);
    return found == handlers.end() ? nullptr : found->second;
}

bool InternalFunctionHandlerBase::collecting()
{
    Manager* manager = _manager;
    return manager != nullptr && manager->collecting && Manager::globals.collectEnabled && manager->reporter
        && !manager->inProbeCall();
}

bool InternalFunctionHandlerBase::isLimitReached()
{
    Manager* manager = _manager;
    if (!manager || manager->inProbeCall())
        return true;
    if (!InstrumentationRules::withinCallLimit(manager->capturedCount, Manager::globals.max_functions))
        return true;
    int32_t depth = manager->refreshDepth(EG(current_execute_data));
    return !InstrumentationRules::withinDepth(depth, Manager::globals.max_functions_depth);
}

int64_t InternalFunctionHandlerBase::getFunctionArgsCount(const _zend_execute_data* executeData)
{
    if (!executeData)
        return 0;
    return ZEND_CALL_NUM_ARGS(executeData);
}

zval* InternalFunctionHandlerBase::getFunctionArgAt(_zend_execute_data* executeData, int64_t index)
{
    if (!InstrumentationRules::argumentIndexValid(index, getFunctionArgsCount(executeData)))
        return nullptr;
    return ZEND_CALL_ARG(executeData, static_cast<uint32_t>(index) + 1);
}

zval* InternalFunctionHandlerBase::getFunctionArgValue(_zend_execute_data* executeData, int64_t index)
{
    zval* value = getFunctionArgAt(executeData, index);
    if (value != nullptr)
        ZVAL_DEREF(value);
    if (value != nullptr && Z_TYPE_P(value) == IS_UNDEF)
        return nullptr;
    return value;
}

bool InternalFunctionHandlerBase::callSavedHandler(_zend_execute_data* executeData, zval* returnValue)
{
    zif_handler handler = vorn_wrapped_function::savedHandlerOf(executeData ? executeData->func : nullptr,
                                                                  Manager::_resourceID);
    if (!handler) {
        zend_throw_error(nullptr, "Internal function is not available");
        return false;
    }
    handler(executeData, returnValue);
    return true;
}

bool InternalFunctionHandlerBase::callPhpFunction(const char* name, std::size_t length, uint32_t argc, zval* args,
                                                  zval* result)
{
    ZVAL_UNDEF(result);
    Manager& manager = Manager::get();
    if (manager.bailoutPending)
        return false;
    zval function;
    ZVAL_STRINGL(&function, name, length);
    volatile bool called = false;
    volatile bool bailedOut = false;
    // What the call runs is the probe's, not the application's: nothing is
    // recorded meanwhile.
    manager.probeCallBegins();
    {
        vorn::ScopedExceptionState scriptState;
        zend_try {
            called = call_user_function(EG(function_table), nullptr, &function, result, argc, args) == SUCCESS;
        } zend_catch {
            bailedOut = true;
        } zend_end_try();
    }
    manager.probeCallEnds();
    zval_ptr_dtor(&function);
    if (bailedOut) {
        manager.bailoutPending = true;
        ZVAL_UNDEF(result);
        return false;
    }
    return called;
}

void InternalFunctionHandlerBase::callEngine(_zend_execute_data* executeData, zval* returnValue)
{
    Manager* manager = _manager;
    if (manager != nullptr)
        ++manager->depth;
    callSavedHandler(executeData, returnValue);
    if (manager != nullptr)
        --manager->depth;
}

boost::shared_ptr<ZRemoteMethodStartEvent> InternalFunctionHandlerBase::newRemoteStartEvent(
    const timeval& start, const boost::shared_ptr<ZLocation>& location)
{
    auto event = boost::make_shared<ZRemoteMethodStartEvent>();
    event->depth = Manager::get().depth + 1;
    event->eventInstance = ZMethodEvent::generateMethodId();
    event->timeInMicroseconds = vorn::toMicroseconds(start);
    event->locationId = location ? location->id : -1;
    return event;
}

boost::shared_ptr<ZRemoteMethodEndEvent> InternalFunctionHandlerBase::newRemoteEndEvent(
    const boost::shared_ptr<ZCaptureEvent>& startEvent, const timeval& end, const ZPHPException& error)
{
    auto event = boost::make_shared<ZRemoteMethodEndEvent>();
    if (const auto* start = dynamic_cast<const ZMethodStartEvent*>(startEvent.get())) {
        event->depth = start->depth;
        event->startEventInstanceId = start->eventInstance;
        event->locationId = start->locationId;
    }
    event->timeInMicroseconds = vorn::toMicroseconds(end);
    event->exception = error;
    return event;
}
