#include "extension/crossvm/FileGetContentsCrossVMHandler.h"

#include <cstring>
#include <string>

#include "php.h"
#include "ext/standard/file.h"
#include "main/php_streams.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/crossvm/CrossVmRules.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"

namespace {

const char* const kFailure = "CrossVM file_get_contents handler failed:";

// Sets the context's "http" / "header" option to the script's headers with
// the correlation line first; the script's own correlation line, if any, goes.
// The wrapper reads a string (lines ended by CR LF) or an array of strings.
void addCorrelationLine(php_stream_context* context, const std::string& line)
{
    zval* old = php_stream_context_get_option(context, "http", "header");
    if (old != nullptr)
        ZVAL_DEREF(old);
    zval value;
    if (old != nullptr && Z_TYPE_P(old) == IS_STRING) {
        const std::string merged = crossvm::mergeHeaderText(std::string(Z_STRVAL_P(old), Z_STRLEN_P(old)), line);
        ZVAL_STRINGL(&value, merged.data(), merged.size());
    } else if (old != nullptr && Z_TYPE_P(old) == IS_ARRAY) {
        array_init_size(&value, zend_hash_num_elements(Z_ARRVAL_P(old)) + 1);
        add_next_index_stringl(&value, line.data(), line.size());
        zval* element;
        ZEND_HASH_FOREACH_VAL(Z_ARRVAL_P(old), element) {
            zval* plain = element;
            ZVAL_DEREF(plain);
            if (Z_TYPE_P(plain) == IS_STRING && crossvm::isCorrelationHeaderLine(CrossVmHandlerBase::stringOf(plain)))
                continue;
            Z_TRY_ADDREF_P(plain);
            add_next_index_zval(&value, plain);
        } ZEND_HASH_FOREACH_END();
    } else {
        // Nothing the wrapper would send: the line alone.
        const std::string text = line + "\r\n";
        ZVAL_STRINGL(&value, text.data(), text.size());
    }
    php_stream_context_set_option(context, "http", "header", &value);
    zval_ptr_dtor(&value);
}

// A stream context, told by the name its resource type was registered under
// (the engine's accessor of the type number is not exported with C linkage).
bool isStreamContext(zval* value)
{
    if (Z_TYPE_P(value) != IS_RESOURCE)
        return false;
    const char* type = zend_rsrc_list_get_rsrc_type(Z_RES_P(value));
    return type != nullptr && std::strcmp(type, "stream-context") == 0;
}

} // namespace

FileGetContentsCrossVMHandler::FileGetContentsCrossVMHandler()
{
    handlers[L"file_get_contents"] = scriptCalls<on_file_get_contents>;
}

FileGetContentsCrossVMHandler::~FileGetContentsCrossVMHandler() = default;

void FileGetContentsCrossVMHandler::on_file_get_contents(zend_execute_data* executeData, zval* returnValue)
{
    // Only trivially destructible locals live across the engine's handler.
    auto* self = static_cast<FileGetContentsCrossVMHandler*>(GetThis(CROSSVM_FILE_GET_CONTENTS));
    Swap swap;
    if (self != nullptr && collecting() && !isLimitReached())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->prepare(executeData, swap); });
    // The error the engine recorded last, to tell the call's own warning.
    const zend_string* errorBefore = swap.active ? lastRecordedError() : nullptr;
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    if (swap.scriptContext == nullptr && !swap.defaultSwapped) {
        callEngine(executeData, returnValue);
        vorn::getTimeOfDay(&end);
    } else {
        // A fatal error inside the call (memory limit, a notification
        // callback) must not leave the contexts swapped: the call's context
        // holds the default context's notifier on loan, and both contexts
        // freed at shutdown would free it twice.
        volatile bool bailedOut = false;
        zend_try {
            callEngine(executeData, returnValue);
        } zend_catch {
            bailedOut = true;
        } zend_end_try();
        vorn::getTimeOfDay(&end);
        putBack(swap);
        if (bailedOut)
            zend_bailout();
    }
    if (!swap.active)
        return;
    vorn::guardEntry(Manager::LOG, kFailure, [&] {
        PendingCall call;
        if (!self->popPending(swap.slot, call))
            return;
        if (Z_TYPE_P(returnValue) != IS_FALSE) {
            reportCall(executeData, start, end, call.url, call.token);
            return;
        }
        // Refused, timed out or answered with an HTTP error: a failed call,
        // with the warning the stream wrapper raised for it.
        reportCall(executeData, start, end, call.url, call.token,
                   failureDetails(executeData, errorRecordedSince(errorBefore), "file_get_contents() failed"));
    });
}

void FileGetContentsCrossVMHandler::prepare(zend_execute_data* executeData, Swap& swap)
{
    VornLog& log = Manager::LOG;
    zval* name = getFunctionArgValue(executeData, 0);
    if (name == nullptr || Z_TYPE_P(name) != IS_STRING)
        return;
    const std::string url = stringOf(name);
    if (!crossvm::isHttpUrl(url))
        return;
    if (log.enabled(VornLog::LEVEL_DBG1))
        log.logDbg1("(CrossVM) file_get_contents file URL is:", crossvm::logSafe(url));
    zval* context = getFunctionArgValue(executeData, 2);
    if (context != nullptr && Z_TYPE_P(context) == IS_NULL)
        context = nullptr;  // the default context, as without one
    // Anything but a stream context makes the engine refuse the call
    // (TypeError): nothing goes out, so nothing is reported.
    if (context != nullptr && !isStreamContext(context))
        return;
    std::string header;
    std::string token;
    if (!generateCorrelationHeader(log, url, header, token))
        return;
    const std::string line = crossvm::headerLine(token);

    if (context != nullptr) {
        auto* scriptContext = static_cast<php_stream_context*>(Z_RES_VAL_P(context));
        zval* saved = static_cast<zval*>(emalloc(sizeof(zval)));
        ZVAL_COPY_VALUE(saved, &scriptContext->options);
        ZVAL_ARR(&scriptContext->options, zend_array_dup(Z_ARRVAL_P(saved)));
        swap.scriptContext = scriptContext;
        swap.savedOptions = saved;
        addCorrelationLine(scriptContext, line);
    } else {
        // Without a context the engine uses the default one: this call gets a
        // copy of its options (and its notifier, lent for the call).
        log.logDbg2("file_get_contents context not provided, creating one...");
        php_stream_context* defaultContext = FG(default_context);
        php_stream_context* callContext = php_stream_context_alloc();
        if (defaultContext != nullptr) {
            zval_ptr_dtor(&callContext->options);
            ZVAL_ARR(&callContext->options, zend_array_dup(Z_ARRVAL(defaultContext->options)));
            callContext->notifier = defaultContext->notifier;
        }
        swap.defaultSwapped = true;
        swap.savedDefault = defaultContext;
        swap.callContext = callContext;
        FG(default_context) = callContext;
        addCorrelationLine(callContext, line);
    }
    swap.slot = pushPending(url, token);
    swap.active = true;
}

void FileGetContentsCrossVMHandler::putBack(Swap& swap)
{
    if (swap.scriptContext != nullptr) {
        zval_ptr_dtor(&swap.scriptContext->options);
        ZVAL_COPY_VALUE(&swap.scriptContext->options, swap.savedOptions);
        efree(swap.savedOptions);
        swap.scriptContext = nullptr;
        swap.savedOptions = nullptr;
    }
    if (swap.defaultSwapped) {
        FG(default_context) = swap.savedDefault;
        swap.callContext->notifier = nullptr;  // lent, not ours to free
        zend_list_delete(swap.callContext->res);
        swap.defaultSwapped = false;
        swap.callContext = nullptr;
    }
}
