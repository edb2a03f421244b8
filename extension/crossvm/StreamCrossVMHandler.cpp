#include "extension/crossvm/StreamCrossVMHandler.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "php.h"
#include "main/php_streams.h"

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "extension/crossvm/CrossVmRules.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"

namespace {

const char* const kFailure = "CrossVM stream handler failed:";

// Finishes a correlation line that the socket took only in part, so that the
// request it is inside stays well formed. Bounded: a socket that takes
// nothing more is left as it is (logged).
void completeHeader(zval* socket, const char* rest, std::size_t length)
{
    auto* stream = static_cast<php_stream*>(
        zend_fetch_resource2(Z_RES_P(socket), nullptr, php_file_le_stream(), php_file_le_pstream()));
    for (int attempt = 0; stream != nullptr && length > 0 && attempt < 3; ++attempt) {
        const ssize_t written = php_stream_write(stream, rest, length);
        if (written <= 0)
            continue;
        rest += written;
        length -= static_cast<std::size_t>(written);
    }
    if (length > 0)
        Manager::LOG.logWarning("fwrite(): the socket did not take the whole correlation header");
}

} // namespace

StreamCrossVMHandler::StreamCrossVMHandler()
{
    handlers[L"stream_socket_client"] = scriptCalls<on_stream_socket_client>;
    handlers[L"fwrite"] = scriptCalls<on_fwrite>;
}

StreamCrossVMHandler::~StreamCrossVMHandler() = default;

void StreamCrossVMHandler::on_stream_socket_client(zend_execute_data* executeData, zval* returnValue)
{
    callEngine(executeData, returnValue);
    auto* self = static_cast<StreamCrossVMHandler*>(GetThis(CROSSVM_STREAM));
    if (self != nullptr && collecting() && Z_TYPE_P(returnValue) == IS_RESOURCE)
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->afterSocketClient(executeData, returnValue); });
}

void StreamCrossVMHandler::afterSocketClient(zend_execute_data* executeData, zval* returnValue)
{
    zval* address = getFunctionArgValue(executeData, 0);
    if (address == nullptr || Z_TYPE_P(address) != IS_STRING)
        return;
    const std::string text = stringOf(address);
    if (!crossvm::isTcpAddress(text))
        return;
    const int64_t id = vorn::getResourceId(returnValue);
    if (Manager::LOG.enabled(VornLog::LEVEL_DBG1))
        Manager::LOG.logDbg1("stream_socket_client() called with URL:", crossvm::logSafe(text));
    if (id < 0)
        return;
    std::shared_ptr<CrossVmCallInfo> record = insertResourceID(static_cast<uint64_t>(id));
    if (record)
        record->url = text;
}

void StreamCrossVMHandler::on_fwrite(zend_execute_data* executeData, zval* returnValue)
{
    // Only trivially destructible locals live across the engine's handler.
    auto* self = static_cast<StreamCrossVMHandler*>(GetThis(CROSSVM_STREAM));
    Plan plan;
    // fwrite runs on every stream: without a followed socket it costs no more
    // than this test.
    if (self != nullptr && self->callInfoCount() != 0 && collecting())
        vorn::guardEntry(Manager::LOG, kFailure, [&] { self->plan(executeData, plan); });
    if (!plan.active) {
        callEngine(executeData, returnValue);
        return;
    }

    // The changed data stands in the call's own argument slots for the one
    // call of the engine's fwrite, then the script's values go back.
    zval* data = InternalFunctionHandlerBase::getFunctionArgAt(executeData, 1);
    zval* length = plan.lengthPatched ? InternalFunctionHandlerBase::getFunctionArgAt(executeData, 2) : nullptr;
    zval scriptData;
    ZVAL_COPY_VALUE(&scriptData, data);
    ZVAL_STR(data, plan.changed);
    if (length != nullptr)
        ZVAL_LONG(length, static_cast<zend_long>(ZSTR_LEN(plan.changed)));
    const zend_string* errorBefore = lastRecordedError();
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    callEngine(executeData, returnValue);
    // What the script's fwrite left; finishing the header writes on the
    // socket again.
    const vorn::ScriptErrno handlerErrno;
    vorn::getTimeOfDay(&end);
    if (length != nullptr)
        ZVAL_LONG(length, static_cast<zend_long>(plan.scriptLength));
    ZVAL_COPY_VALUE(data, &scriptData);

    bool written = false;
    if (Z_TYPE_P(returnValue) == IS_LONG && Z_LVAL_P(returnValue) >= 0) {
        const std::size_t count = static_cast<std::size_t>(Z_LVAL_P(returnValue));
        if (count > plan.prefix && count < plan.prefix + plan.header) {
            const std::size_t done = count - plan.prefix;
            completeHeader(InternalFunctionHandlerBase::getFunctionArgAt(executeData, 0),
                           ZSTR_VAL(plan.changed) + count, plan.header - done);
        }
        ZVAL_LONG(returnValue, static_cast<zend_long>(crossvm::scriptBytesWritten(count, plan.prefix, plan.header)));
        written = true;
    }
    zend_string_release(plan.changed);
    plan.changed = nullptr;
    handlerErrno.restore();
    const bool failed = Z_TYPE_P(returnValue) == IS_FALSE;
    vorn::guardEntry(Manager::LOG, kFailure, [&] {
        PendingCall call;
        if (!self->popPending(plan.slot, call))
            return;
        if (written)
            reportCall(executeData, start, end, call.url, call.token);
        else if (failed)   // the socket refused the request (reset, timed out)
            reportCall(executeData, start, end, call.url, call.token,
                       failureDetails(executeData, errorRecordedSince(errorBefore), "fwrite() failed"));
    });
}

void StreamCrossVMHandler::plan(zend_execute_data* executeData, Plan& plan)
{
    // The data and length are taken from the call's own slots, which the
    // write replaces for its duration.
    zval* socket = getFunctionArgValue(executeData, 0);
    zval* data = InternalFunctionHandlerBase::getFunctionArgAt(executeData, 1);
    if (socket == nullptr || Z_TYPE_P(socket) != IS_RESOURCE || data == nullptr || Z_TYPE_P(data) != IS_STRING)
        return;
    const int64_t id = vorn::getResourceId(socket);
    if (id < 0)
        return;
    std::shared_ptr<CrossVmCallInfo> record = getCallInfo(static_cast<uint64_t>(id));
    if (!record)
        return;

    // The bytes the engine would write: all of the data, or as many as the
    // length argument allows.
    std::size_t count = Z_STRLEN_P(data);
    zval* length = InternalFunctionHandlerBase::getFunctionArgAt(executeData, 2);
    bool patchLength = false;
    if (length != nullptr && Z_TYPE_P(length) != IS_NULL) {
        if (Z_TYPE_P(length) != IS_LONG)
            return;  // left to the engine's own conversion
        if (Z_LVAL_P(length) <= 0)
            return;  // nothing is written
        count = std::min(count, static_cast<std::size_t>(Z_LVAL_P(length)));
        patchLength = true;
    }
    // Only the first line decides; a body chunk is not copied at all.
    const char* bytes = Z_STRVAL_P(data);
    const void* lf = std::memchr(bytes, '\n', count);
    if (lf == nullptr)
        return;
    const std::string firstLine(bytes, static_cast<const char*>(lf) - bytes + 1);
    std::string path;
    std::size_t insertAt = 0;
    if (!crossvm::parseRawRequest(firstLine, path, insertAt) || isLimitReached())
        return;
    const std::string target = record->url + path;
    std::string header;
    std::string token;
    if (!generateCorrelationHeader(Manager::LOG, target, header, token))
        return;

    plan.slot = pushPending(target, token);
    zend_string* changed = zend_string_alloc(count + header.size(), 0);
    std::memcpy(ZSTR_VAL(changed), bytes, insertAt);
    std::memcpy(ZSTR_VAL(changed) + insertAt, header.data(), header.size());
    std::memcpy(ZSTR_VAL(changed) + insertAt + header.size(), bytes + insertAt, count - insertAt);
    ZSTR_VAL(changed)[ZSTR_LEN(changed)] = '\0';
    plan.changed = changed;
    plan.prefix = insertAt;
    plan.header = header.size();
    plan.lengthPatched = patchLength;
    plan.scriptLength = patchLength ? static_cast<long long>(Z_LVAL_P(length)) : 0;
    plan.active = true;
}
