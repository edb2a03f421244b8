#include "extension/sql/ZOciHandler.h"

#include <cstring>

#include <memory>

#include "php.h"

#include "common/VornUtils.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"
#include "extension/sql/SqlHandlerSupport.h"
#include "extension/sql/ZSqlManager.h"

namespace {

const char* const GUARD = "SQL instrumentation (OCI8) failed:";

// A resource that is still open (a closed one has lost its type).
bool isOpenResource(zval* value)
{
    return value != nullptr && Z_TYPE_P(value) == IS_RESOURCE && Z_RES_TYPE_P(value) >= 0;
}

// Calls oci_error() with the handle (or with no argument), with the script's
// pending exception set aside; true with `result` holding its value (released
// by the caller).
bool callOciError(zval* handle, zval* result)
{
    zval argument;
    const uint32_t count = handle != nullptr ? 1 : 0;
    if (handle != nullptr)
        ZVAL_COPY_VALUE(&argument, handle);
    if (!InternalFunctionHandlerBase::callPhpFunction("oci_error", sizeof("oci_error") - 1, count,
                                                      count ? &argument : nullptr, result)
        || Z_ISUNDEF_P(result)) {
        ZVAL_UNDEF(result);
        return false;
    }
    return true;
}

} // namespace

ZOciHandler::ZOciHandler()
{
    handlers[L"oci_connect"] = scriptCalls<on_oci_connect>;
    handlers[L"oci_new_connect"] = scriptCalls<on_oci_connect>;
    handlers[L"oci_pconnect"] = scriptCalls<on_oci_connect>;
    handlers[L"oci_parse"] = scriptCalls<on_oci_parse>;
    handlers[L"oci_execute"] = scriptCalls<on_oci_execute>;
    handlers[L"oci_rollback"] = scriptCalls<on_oci_rollback>;
    // Commits are timed like rollbacks.
    handlers[L"oci_commit"] = scriptCalls<on_oci_commit>;
}

ZOciHandler::~ZOciHandler() = default;

void ZOciHandler::run(zend_execute_data* executeData, zval* returnValue, Observer observer)
{
    sqlsupport::observedCall(executeData, returnValue, !gateClosed(), GUARD,
                             [&](const timeval& start, const timeval& end, int32_t) {
                                 Manager* manager = _manager;
                                 ZOciHandler* self = manager ? manager->sqlManager.oci.get() : nullptr;
                                 if (self)
                                     ((*self).*observer)(executeData, returnValue, start, end);
                             });
}

void ZOciHandler::on_oci_connect(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, &ZOciHandler::observeConnect);
}

void ZOciHandler::on_oci_parse(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, &ZOciHandler::observeParse);
}

void ZOciHandler::on_oci_execute(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, &ZOciHandler::observeExecute);
}

void ZOciHandler::on_oci_rollback(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, &ZOciHandler::observeRollback);
}

void ZOciHandler::on_oci_commit(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, &ZOciHandler::observeCommit);
}

void ZOciHandler::observeConnect(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                 const timeval&)
{
    if (returnValue == nullptr)
        return;
    if (Z_TYPE_P(returnValue) == IS_RESOURCE) {
        auto connection = std::make_shared<ZDbConnectionInfo>();
        connection->id = static_cast<uint64_t>(vorn::getResourceId(returnValue));
        connection->dbType = "oracle";
        connection->type = "OCI";
        stringArg(getFunctionArgValue(executeData, 0), connection->user);
        stringArg(getFunctionArgValue(executeData, 1), connection->password);
        std::string connectString;
        if (stringArg(getFunctionArgValue(executeData, 2), connectString)) {
            std::shared_ptr<ZDbConnectionInfo> parsed = ZDbConnectionInfo::parseDsnOCI(connectString);
            if (parsed) {
                connection->host = parsed->host;
                connection->dbName = parsed->dbName;
                connection->port = parsed->port;
            }
        }
        insertConnection(connection);
        return;
    }
    // Whichever of the three connect functions failed, its log line names
    // oci_connect; the event's location names the function called.
    if (Z_TYPE_P(returnValue) == IS_FALSE)
        doReportError(executeData, "oci_connect", start, nullptr);
}

void ZOciHandler::observeParse(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                               const timeval&)
{
    if (returnValue == nullptr)
        return;
    zval* link = getFunctionArgValue(executeData, 0);
    if (Z_TYPE_P(returnValue) == IS_RESOURCE) {
        std::string sql;
        if (!sqlTextArg(getFunctionArgValue(executeData, 1), sql))
            return;
        ConnectionPtr connection = getConnection(link);
        if (!connection)
            return;
        auto statement = std::make_shared<ZDbPreparedStatement>();
        statement->id = static_cast<uint64_t>(vorn::getResourceId(returnValue));
        statement->connection = connection;
        statement->sql = sql;
        insertStatement(statement);
        return;
    }
    if (Z_TYPE_P(returnValue) == IS_FALSE)
        doReportError(executeData, "oci_parse", start, link);
}

void ZOciHandler::observeExecute(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                 const timeval& end)
{
    zval* statementValue = getFunctionArgValue(executeData, 0);
    if (returnValue == nullptr || Z_TYPE_P(returnValue) != IS_TRUE) {
        doReportError(executeData, "oci_execute", start, statementValue);
        return;
    }
    if (!slowEnough(elapsedMs(start, end)))
        return;
    StatementPtr statement = getStatement(statementValue);
    if (!statement)
        return;
    std::string reduced;
    if (!trimSql(statement->sql, reduced)) {
        sqlsupport::logSqlRefused();
        return;
    }
    reportSqlCall(executeData, start, end, statement->sql, reduced, statement->connection, ZPHPException());
}

void ZOciHandler::observeRollback(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                  const timeval& end)
{
    observeTransaction(executeData, returnValue, start, end, "oci_rollback", "ROLLBACK");
}

void ZOciHandler::observeCommit(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                const timeval& end)
{
    observeTransaction(executeData, returnValue, start, end, "oci_commit", "COMMIT");
}

void ZOciHandler::observeTransaction(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                     const timeval& end, const char* functionName, const char* sql)
{
    zval* link = getFunctionArgValue(executeData, 0);
    if (returnValue == nullptr || Z_TYPE_P(returnValue) != IS_TRUE) {
        doReportError(executeData, functionName, start, link);
        return;
    }
    if (!slowEnough(elapsedMs(start, end)))
        return;
    ConnectionPtr connection = getConnection(link);
    if (!connection)
        return;
    reportSqlCall(executeData, start, end, sql, sql, connection, ZPHPException());
}

ZPHPException ZOciHandler::ociError(zval* handle, zend_execute_data* executeData)
{
    ZPHPException error;
    error.type = "Function failure";
    error.trace = getBacktrace(executeData);
    zval result;
    if (callOciError(handle, &result)) {
        if (Z_TYPE(result) == IS_ARRAY) {
            zval* message = zend_hash_str_find(Z_ARRVAL(result), "message", sizeof("message") - 1);
            if (message != nullptr && Z_TYPE_P(message) == IS_REFERENCE)
                message = Z_REFVAL_P(message);
            if (message != nullptr && Z_TYPE_P(message) == IS_STRING)
                error.setErrorMessage(Z_STRVAL_P(message), Z_STRLEN_P(message), sqlsupport::maxMessageLength());
        }
        zval_ptr_dtor(&result);
    }
    return error;
}

void ZOciHandler::doReportError(zend_execute_data* executeData, const char* functionName, const timeval& start,
                                zval* handle)
{
    timeval end;
    vorn::getTimeOfDay(&end);
    // The error belongs to the link or statement the call worked on; only a
    // failed connect has none, and then oci_error() without argument gives
    // the connect's error. A handle that is no open resource (a wrong
    // argument the engine refused) has no error to ask for.
    ZPHPException error;
    if (handle == nullptr)
        error = ociError(nullptr, executeData);
    else if (isOpenResource(handle))
        error = ociError(handle, executeData);
    else {
        error.type = "Function failure";
        error.trace = getBacktrace(executeData);
    }
    sqlsupport::takePendingException(error);
    sqlsupport::logAndReportFailedCall(executeData, start, end, error, "Error in function:", functionName);
}
