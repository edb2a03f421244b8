// A test-only PHP module that exposes the services the database and HTTP
// handlers use of the instrumentation engine, so they can be checked inside
// the real engine before those handlers exist:
//   qx_test_args(...)                  -> [count, arg 0, arg 2, arg -1 is null, arg count is null]
//   qx_test_depth()                    -> Manager::refreshDepth of the calling frame
//   qx_test_limit(captured, maxCalls, maxDepth) -> InternalFunctionHandlerBase::isLimitReached
//   qx_test_call(object, name, pending) -> Manager::callClassMethod; with `pending`
//                                        an exception "pending" (code 7) is pending
//                                        around the call and stays pending after it
//   qx_test_last()                     -> what the last qx_test_call / qx_test_details saw
//   qx_test_backtrace(throwable, n)    -> Manager::getBacktrace
//   qx_test_details(throwable, maxLen, maxFrames) -> Manager::formatException, with the
//                                        throwable pending (it is thrown again)
//   qx_test_saved()                    -> InternalFunctionHandlerBase::callSavedHandler on
//                                        a function that was never wrapped
//   qx_test_crossvm()                  -> [state after the first, after a second testForCrossVM]
//   qx_test_request_info(agentId)      -> Manager::getRequestInfo as an array

#include "php.h"
#include "zend_exceptions.h"

#include <string>

#include "common/VornUtils.h"
#include "extension/instrumentation/InternalFunctionHandlerBase.h"
#include "extension/instrumentation/Manager.h"
#include "extension/engine/VornEngine.h"
#include "extension/report/ZEventsReporter.h"

namespace {

std::string lastSeen;

ZEND_BEGIN_ARG_INFO_EX(arginfo_qx_test_any, 0, 0, 0)
ZEND_END_ARG_INFO()

PHP_FUNCTION(qx_test_args)
{
    const int64_t count = InternalFunctionHandlerBase::getFunctionArgsCount(execute_data);
    array_init(return_value);
    add_next_index_long(return_value, count);
    for (int64_t index : {0, 2}) {
        zval* argument = InternalFunctionHandlerBase::getFunctionArgAt(execute_data, index);
        if (argument) {
            Z_TRY_ADDREF_P(argument);
            add_next_index_zval(return_value, argument);
        } else {
            add_next_index_null(return_value);
        }
    }
    add_next_index_bool(return_value, InternalFunctionHandlerBase::getFunctionArgAt(execute_data, -1) == nullptr);
    add_next_index_bool(return_value, InternalFunctionHandlerBase::getFunctionArgAt(execute_data, count) == nullptr);
}

PHP_FUNCTION(qx_test_depth)
{
    ZEND_PARSE_PARAMETERS_NONE();
    RETURN_LONG(Manager::get().refreshDepth(execute_data));
}

PHP_FUNCTION(qx_test_limit)
{
    zend_long captured = 0;
    zend_long maxCalls = 0;
    zend_long maxDepth = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "lll", &captured, &maxCalls, &maxDepth) == FAILURE)
        RETURN_THROWS();
    Manager& manager = Manager::get();
    manager.capturedCount = static_cast<int32_t>(captured);
    Manager::globals.max_functions = static_cast<uint64_t>(maxCalls);
    Manager::globals.max_functions_depth = static_cast<uint64_t>(maxDepth);
    RETURN_BOOL(InternalFunctionHandlerBase::isLimitReached());
}

PHP_FUNCTION(qx_test_call)
{
    zval* object = nullptr;
    char* name = nullptr;
    size_t nameLength = 0;
    bool pending = false;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "zs|b", &object, &name, &nameLength, &pending) == FAILURE)
        RETURN_THROWS();
    zend_object* before = nullptr;
    if (pending) {
        zend_throw_exception(zend_ce_exception, "pending", 7);
        before = EG(exception);
    }
    zval result;
    const bool got = Manager::get().callClassMethod(object, vorn::toUtf(std::string(name, nameLength)), &result);
    lastSeen = got ? "result:" : "none";
    if (got) {
        zend_string* text = zval_try_get_string(&result);
        if (text) {
            lastSeen += std::string(ZSTR_VAL(text), ZSTR_LEN(text));
            zend_string_release(text);
        } else if (EG(exception) != before) {
            zend_clear_exception();
        }
        zval_ptr_dtor(&result);
    }
    lastSeen += EG(exception) == before ? "|same-pending" : "|pending-changed";
    if (!pending)
        RETURN_TRUE;
}

// Calls `fatal` (which makes the engine abandon the script), then `second`,
// notes what each call gave, and lets the engine go on abandoning the script.
PHP_FUNCTION(qx_test_call_after_fatal)
{
    zval* object = nullptr;
    char* fatal = nullptr;
    size_t fatalLength = 0;
    char* second = nullptr;
    size_t secondLength = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "zss", &object, &fatal, &fatalLength, &second, &secondLength)
        == FAILURE)
        RETURN_THROWS();
    Manager& manager = Manager::get();
    zval result;
    bool got = manager.callClassMethod(object, vorn::toUtf(std::string(fatal, fatalLength)), &result);
    lastSeen = got ? "result" : "none";
    lastSeen += manager.bailoutPending ? "|bailout" : "|running";
    got = manager.callClassMethod(object, vorn::toUtf(std::string(second, secondLength)), &result);
    if (got)
        zval_ptr_dtor(&result);
    lastSeen += got ? "|second-result" : "|second-none";
    Manager::resumePendingBailout();
}

PHP_FUNCTION(qx_test_last)
{
    ZEND_PARSE_PARAMETERS_NONE();
    RETURN_STRINGL(lastSeen.data(), lastSeen.size());
}

PHP_FUNCTION(qx_test_backtrace)
{
    zval* throwable = nullptr;
    zend_long count = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "zl", &throwable, &count) == FAILURE)
        RETURN_THROWS();
    std::string text = "left over";
    Manager::get().getBacktrace(text, static_cast<int>(count), throwable);
    RETURN_STRINGL(text.data(), text.size());
}

PHP_FUNCTION(qx_test_details)
{
    zval* throwable = nullptr;
    zend_long maxLength = 0;
    zend_long maxFrames = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "oll", &throwable, &maxLength, &maxFrames) == FAILURE)
        RETURN_THROWS();
    Manager::globals.exception_max_message_length = static_cast<uint64_t>(maxLength);
    Manager::globals.exception_max_frames = static_cast<uint64_t>(maxFrames);
    Z_ADDREF_P(throwable);
    zend_throw_exception_object(throwable);
    zend_object* thrown = EG(exception);
    ZPHPException details = Manager::get().formatException(execute_data);
    lastSeen = details.type + "|" + details.message + "|" + details.trace;
    lastSeen += EG(exception) == thrown ? "|same-pending" : "|pending-changed";
}

PHP_FUNCTION(qx_test_saved)
{
    ZEND_PARSE_PARAMETERS_NONE();
    InternalFunctionHandlerBase::callSavedHandler(execute_data, return_value);
}

PHP_FUNCTION(qx_test_crossvm)
{
    ZEND_PARSE_PARAMETERS_NONE();
    Manager& manager = Manager::get();
    manager.requestCleanup();
    manager.testForCrossVM(Manager::LOG);
    const int64_t first = manager.crossVmState;
    manager.testForCrossVM(Manager::LOG);
    array_init(return_value);
    add_next_index_long(return_value, first);
    add_next_index_long(return_value, manager.crossVmState);
}

PHP_FUNCTION(qx_test_request_info)
{
    char* agent = nullptr;
    size_t agentLength = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "s", &agent, &agentLength) == FAILURE)
        RETURN_THROWS();
    Manager& manager = Manager::get();
    manager.requestCleanup();
    manager.agentId.assign(agent, agentLength);
    CorrelationToken::RequestInfo info = manager.getRequestInfo();
    array_init(return_value);
    add_assoc_bool(return_value, "recent", info.startMs > 1600000000000ULL);
    add_assoc_stringl(return_value, "agent", info.agentId.data(), info.agentId.size());
    add_assoc_stringl(return_value, "method", info.method.data(), info.method.size());
    const std::string path = vorn::fromUtf(info.uri.path);
    const std::string query = vorn::fromUtf(info.uri.query);
    const std::string host = vorn::fromUtf(info.uri.host);
    add_assoc_stringl(return_value, "path", path.data(), path.size());
    add_assoc_stringl(return_value, "query", query.data(), query.size());
    add_assoc_stringl(return_value, "host", host.data(), host.size());
}

const zend_function_entry test_functions[] = {
    PHP_FE(qx_test_args, arginfo_qx_test_any)
    PHP_FE(qx_test_depth, arginfo_qx_test_any)
    PHP_FE(qx_test_limit, arginfo_qx_test_any)
    PHP_FE(qx_test_call, arginfo_qx_test_any)
    PHP_FE(qx_test_call_after_fatal, arginfo_qx_test_any)
    PHP_FE(qx_test_last, arginfo_qx_test_any)
    PHP_FE(qx_test_backtrace, arginfo_qx_test_any)
    PHP_FE(qx_test_details, arginfo_qx_test_any)
    PHP_FE(qx_test_saved, arginfo_qx_test_any)
    PHP_FE(qx_test_crossvm, arginfo_qx_test_any)
    PHP_FE(qx_test_request_info, arginfo_qx_test_any)
    PHP_FE_END
};

PHP_MINIT_FUNCTION(qx_instrumentation_services_test)
{
    (void)type;
    (void)module_number;
    Manager& manager = Manager::get();
    Manager::globals.use_event_channel_null = true;
    Manager::LOG.level = -1;
    manager.reporter.reset(new ZEventsReporter(Manager::LOG, Manager::globals));
    InternalFunctionHandlerBase::_manager = &manager;
    return SUCCESS;
}

PHP_RINIT_FUNCTION(qx_instrumentation_services_test)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestStart();
    return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(qx_instrumentation_services_test)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestEnd();
    return SUCCESS;
}

zend_module_entry test_module_entry = {
    STANDARD_MODULE_HEADER,
    "qx_instrumentation_services_test",
    test_functions,
    PHP_MINIT(qx_instrumentation_services_test),
    nullptr,
    PHP_RINIT(qx_instrumentation_services_test),
    PHP_RSHUTDOWN(qx_instrumentation_services_test),
    nullptr,
    "1.0",
    STANDARD_MODULE_PROPERTIES
};

} // namespace

// The engine looks this up by name when it loads the module.
extern "C" ZEND_DLEXPORT zend_module_entry* get_module();

extern "C" ZEND_DLEXPORT zend_module_entry* get_module()
{
    return &test_module_entry;
}
