#include "extension/crossvm/CurlCrossVMHandler.h"

#include <string>
#include <vector>

#include "php.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/crossvm/CrossVmRules.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"

namespace {

const char* const kFailure = "CrossVM curl handler failed:";

// The text the engine's curl sends for one element of a header list (it
// converts each element to a string and stops at a NUL). False for an object,
// whose text only script code (__toString) could give.
bool headerElementText(zval* element, std::string& text)
{
    ZVAL_DEREF(element);
    switch (Z_TYPE_P(element)) {
    case IS_STRING:
        text = CrossVmHandlerBase::stringOf(element);
        return true;
    case IS_LONG:
        text = std::to_string(static_cast<long long>(Z_LVAL_P(element)));
        return true;
    case IS_DOUBLE: {
        zend_string* number = zend_double_to_str(Z_DVAL_P(element));
        text.assign(ZSTR_VAL(number), ZSTR_LEN(number));
        zend_string_release(number);
        return true;
    }
    case IS_TRUE:
        text = "1";
        return true;
    case IS_FALSE:
    case IS_NULL:
        text.clear();
        return true;
    case IS_ARRAY:
        text = "Array";
        return true;
    case IS_RESOURCE:
        text = "Resource id #" + std::to_string(static_cast<long long>(Z_RES_HANDLE_P(element)));
        return true;
    default:
        return false;
    }
}

std::string listText(const std::vector<std::string>& lines)
{
    std::string text = "{";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i)
            text += ",";
        text += lines[i];
    }
    return text + "}";
}

} // namespace

CurlCrossVMHandler::CurlCrossVMHandler()
{
    handlers[L"curl_init"] = scriptCalls<on_curl_init>;
    handlers[L"curl_exec"] = scriptCalls<on_curl_exec>;
    handlers[L"curl_setopt"] = scriptCalls<on_curl_setopt>;
    handlers[L"curl_setopt_array"] = scriptCalls<on_curl_setopt_array>;
    handlers[L"curl_close"] = scriptCalls<on_curl_close>;
    handlers[L"curl_reset"] = scriptCalls<on_curl_reset>;
    handlers[L"curl_copy_handle"] = scriptCalls<on_curl_copy_handle>;
}

CurlCrossVMHandler::~CurlCrossVMHandler() = default;

CurlCrossVMHandler* CurlCrossVMHandler::instance()
{
    return static_cast<CurlCrossVMHandler*>(GetThis(CROSSVM_CURL));
}

std::shared_ptr<CrossVmCallInfo> CurlCrossVMHandler::recordOf(zend_execute_data* executeData)
{
    zval* handle = getFunctionArgValue(executeData, 0);
    if (handle == nullptr || Z_TYPE_P(handle) != IS_OBJECT)
        return std::shared_ptr<CrossVmCallInfo>();
    // A handle never given an identity was never recorded.
    const int64_t id = vorn::findObjectId(handle, -1);
    if (id < 0)
        return std::shared_ptr<CrossVmCallInfo>();
    return getCallInfo(static_cast<uint64_t>(id));
}

// ---- Handle tracking -----------------------------------------------------------------
//
// Records follow a handle whatever the call limit: header lines set while
// calls are not reported must still be there at the next reported transfer.

void CurlCrossVMHandler::on_curl_init(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterInit(executeData, returnValue); });
}

void CurlCrossVMHandler::afterInit(zend_execute_data* executeData, zval* returnValue)
{
    if (Z_TYPE_P(returnValue) != IS_OBJECT)
        return;
    const int64_t id = vorn::getObjectId(returnValue);
    if (id < 0)
        return;
    Manager::LOG.logDbg1("curl_init() called. Storing resource ID:", static_cast<uint64_t>(id));
    std::shared_ptr<CrossVmCallInfo> record = insertResourceID(static_cast<uint64_t>(id));
    zval* url = getFunctionArgValue(executeData, 0);
    if (record && url != nullptr && Z_TYPE_P(url) == IS_STRING)
        record->url = stringOf(url);
}

void CurlCrossVMHandler::on_curl_setopt(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting() && Z_TYPE_P(returnValue) == IS_TRUE)
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterSetopt(executeData, returnValue); });
}

void CurlCrossVMHandler::afterSetopt(zend_execute_data* executeData, zval*)
{
    zval* option = getFunctionArgValue(executeData, 1);
    if (option == nullptr || Z_TYPE_P(option) != IS_LONG)
        return;
    // Most options are none of the record's business: no look-up for them.
    const uint64_t number = static_cast<uint64_t>(Z_LVAL_P(option));
    if (number != OPTION_HTTPHEADER && number != OPTION_URL)
        return;
    std::shared_ptr<CrossVmCallInfo> record = recordOf(executeData);
    if (record)
        doHandleCurlOption(record, number, getFunctionArgValue(executeData, 2));
}

void CurlCrossVMHandler::on_curl_setopt_array(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting() && Z_TYPE_P(returnValue) == IS_TRUE)
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterSetoptArray(executeData, returnValue); });
}

void CurlCrossVMHandler::afterSetoptArray(zend_execute_data* executeData, zval*)
{
    zval* options = getFunctionArgValue(executeData, 1);
    if (options == nullptr || Z_TYPE_P(options) != IS_ARRAY)
        return;
    std::shared_ptr<CrossVmCallInfo> record = recordOf(executeData);
    if (!record)
        return;
    zend_ulong key;
    zend_string* name;
    zval* value;
    ZEND_HASH_FOREACH_KEY_VAL(Z_ARRVAL_P(options), key, name, value) {
        if (name == nullptr)
            doHandleCurlOption(record, static_cast<uint64_t>(key), value);
    } ZEND_HASH_FOREACH_END();
}

void CurlCrossVMHandler::doHandleCurlOption(const std::shared_ptr<CrossVmCallInfo>& record, uint64_t option, zval* value)
{
    if (!record || value == nullptr)
        return;
    ZVAL_DEREF(value);
    VornLog& log = Manager::LOG;
    if (option == OPTION_HTTPHEADER && Z_TYPE_P(value) == IS_ARRAY) {
        std::vector<std::string> lines;
        bool unknown = false;
        zval* element;
        ZEND_HASH_FOREACH_VAL(Z_ARRVAL_P(value), element) {
            std::string text;
            if (headerElementText(element, text))
                lines.push_back(std::move(text));
            else
                unknown = true;
        } ZEND_HASH_FOREACH_END();
        if (log.enabled(VornLog::LEVEL_DBG1))
            log.logDbg1("curl_setopt() called. ", crossvm::logSafe(listText(lines)));
        record->headers.swap(lines);
        record->headersUnknown = unknown;
    } else if (option == OPTION_URL && Z_TYPE_P(value) == IS_STRING) {
        record->url = stringOf(value);
        if (log.enabled(VornLog::LEVEL_DBG1))
            log.logDbg1("curl_setopt(CURLOPT_URL,", crossvm::logSafe(record->url), ")");
    }
}

void CurlCrossVMHandler::on_curl_close(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterClose(executeData); });
}

void CurlCrossVMHandler::afterClose(zend_execute_data* executeData)
{
    // curl_close() leaves the handle usable (it is freed with its last
    // reference), so its record stays with it; its identity is never reused.
    zval* handle = getFunctionArgValue(executeData, 0);
    if (handle == nullptr || Z_TYPE_P(handle) != IS_OBJECT)
        return;
    const int64_t id = vorn::findObjectId(handle, -1);
    if (id >= 0)
        Manager::LOG.logDbg1("curl_close(): freeing cURL resource ID:", static_cast<uint64_t>(id));
}

void CurlCrossVMHandler::on_curl_reset(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterReset(executeData); });
}

void CurlCrossVMHandler::afterReset(zend_execute_data* executeData)
{
    // The handle is back to its defaults: no URL, no header lines.
    std::shared_ptr<CrossVmCallInfo> record = recordOf(executeData);
    if (!record)
        return;
    record->url.clear();
    record->headers.clear();
    record->headersUnknown = false;
}

void CurlCrossVMHandler::on_curl_copy_handle(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    CurlCrossVMHandler* self = instance();
    if (self != nullptr && collecting())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterCopy(executeData, returnValue); });
}

void CurlCrossVMHandler::afterCopy(zend_execute_data* executeData, zval* returnValue)
{
    // The copy has the original's options, the script's own header lines
    // included; the record of the original says which they are.
    std::shared_ptr<CrossVmCallInfo> original = recordOf(executeData);
    if (!original || Z_TYPE_P(returnValue) != IS_OBJECT)
        return;
    const int64_t id = vorn::getObjectId(returnValue);
    if (id < 0)
        return;
    std::shared_ptr<CrossVmCallInfo> copy = insertResourceID(static_cast<uint64_t>(id));
    if (!copy)
        return;
    copy->url = original->url;
    copy->headers = original->headers;
    copy->headersUnknown = original->headersUnknown;
}

// ---- The transfer -----------------------------------------------------------------------

void CurlCrossVMHandler::on_curl_exec(zend_execute_data* executeData, zval* returnValue)
{
    // Only trivially destructible locals live across the engine's handler.
    CurlCrossVMHandler* self = instance();
    std::size_t slot = static_cast<std::size_t>(-1);
    if (self != nullptr && collecting() && !isLimitReached())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { slot = self->prepareExec(executeData); });
    Manager::resumePendingBailout();
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    callEngine(executeData, returnValue);
    vorn::getTimeOfDay(&end);
    if (slot != static_cast<std::size_t>(-1)) {
        vorn::guardEntry(Manager::LOG, kFailure,
                         [&] { self->finishExec(executeData, returnValue, slot, start, end); });
        Manager::resumePendingBailout();
    }
}

std::size_t CurlCrossVMHandler::prepareExec(zend_execute_data* executeData)
{
    // Taken over only to follow handles (the point files list another curl
    // function, not this one): the transfer is left alone.
    if (!_manager->getPointFileEntryInternalFunction("curl_exec", ""))
        return static_cast<std::size_t>(-1);
    std::shared_ptr<CrossVmCallInfo> record = recordOf(executeData);
    if (!record)
        return static_cast<std::size_t>(-1);
    std::string token;
    const bool built = generateCorrelationToken(Manager::LOG, record->url, token);
    if (built && record->headersUnknown) {
        // Setting the option would lose an element only script code can
        // render: the transfer goes without the correlation line.
        Manager::LOG.logDbg1("curl_exec(): the handle's header list holds an object; correlation header not set");
    } else if (built) {
        const std::vector<std::string> lines = crossvm::mergeHeaderLines(record->headers, crossvm::headerLine(token));
        zval args[3];
        ZVAL_COPY(&args[0], InternalFunctionHandlerBase::getFunctionArgAt(executeData, 0));
        ZVAL_LONG(&args[1], static_cast<zend_long>(OPTION_HTTPHEADER));
        array_init_size(&args[2], static_cast<uint32_t>(lines.size()));
        for (const std::string& line : lines)
            add_next_index_stringl(&args[2], line.data(), line.size());
        zval result;
        callUserFuncWithArgs("curl_setopt", 3, args, &result);
        zval_ptr_dtor(&result);
        for (zval& arg : args)
            zval_ptr_dtor(&arg);
    }
    return pushPending(record->url, token);
}

void CurlCrossVMHandler::finishExec(zend_execute_data* executeData, zval* returnValue, std::size_t slot,
                                    const timeval& start, const timeval& end)
{
    PendingCall call;
    if (!popPending(slot, call))
        return;
    if (Z_TYPE_P(returnValue) != IS_FALSE) {
        reportCall(executeData, start, end, call.url, call.token);
        return;
    }
    // A failed transfer (refused, timed out) may have carried the token
    // already: it is reported, with the handle's error text as curl_error()
    // gives it from the handle's own buffer.
    std::string message;
    zval* argument = getFunctionArgValue(executeData, 0);
    if (argument != nullptr && Z_TYPE_P(argument) == IS_OBJECT) {
        zval handle;
        ZVAL_COPY(&handle, argument);
        zval result;
        if (callUserFuncWithArgs("curl_error", 1, &handle, &result) && Z_TYPE(result) == IS_STRING)
            message = stringOf(&result);
        zval_ptr_dtor(&result);
        zval_ptr_dtor(&handle);
    }
    reportCall(executeData, start, end, call.url, call.token,
               failureDetails(executeData, message, "curl_exec() failed"));
}
