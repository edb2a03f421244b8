#include "extension/sql/ZPDOHandler.h"

#include <boost/make_shared.hpp>

#include "php.h"
#include "zend_exceptions.h"

#include "common/VornUtils.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"
#include "extension/model/ZLocation.h"
#include "extension/sql/SqlHandlerSupport.h"
#include "extension/sql/ZSqlManager.h"

namespace {

const char* const WHERE = "SQL instrumentation failed:";

zval* deref(zval* value)
{
    if (value != nullptr && Z_TYPE_P(value) == IS_REFERENCE)
        value = Z_REFVAL_P(value);
    return value;
}

bool isFalse(zval* value)
{
    value = deref(value);
    return value != nullptr && Z_TYPE_P(value) == IS_FALSE;
}

// The script's own exception, not the engine's unwinding of exit().
bool exceptionPending()
{
    zend_object* pending = EG(exception);
    return pending != nullptr && !zend_is_unwind_exit(pending) && !zend_is_graceful_exit(pending);
}

} // namespace

ZPDOHandler::ZPDOHandler()
{
    handlers[L"pdo::__construct"] = scriptCalls<&ZPDOHandler::onPDOConstruct>;
    handlers[L"pdo::rollback"] = scriptCalls<&ZPDOHandler::onPDORollback>;
    handlers[L"pdo::prepare"] = scriptCalls<&ZPDOHandler::onPDOPrepare>;
    handlers[L"pdo::query"] = scriptCalls<&ZPDOHandler::onPDOQuery>;
    handlers[L"pdo::exec"] = scriptCalls<&ZPDOHandler::onPDOExec>;
    handlers[L"pdostatement::execute"] = scriptCalls<&ZPDOHandler::onPDOStatementExecute>;
    handlers[L"pdo::begintransaction"] = scriptCalls<&ZPDOHandler::onPDOBegin>;
    handlers[L"pdo::commit"] = scriptCalls<&ZPDOHandler::onPDOCommit>;
}

ZPDOHandler::~ZPDOHandler() = default;

ZPDOHandler& ZPDOHandler::instance()
{
    return *Manager::get().sqlManager.pdo;
}

// Every replacement below follows one pattern (sqlsupport::observedCall for
// the timed ones): past the gate, only plain values (times, depth) are live
// across the engine's call, which a fatal error or time-out leaves by a long
// jump; the bookkeeping runs afterwards inside guardEntry, and a bail-out met
// by a call the probe made into PHP is resumed only once that work is done.

// ---- Connections -----------------------------------------------------------------

void ZPDOHandler::onPDOConstruct(zend_execute_data* executeData, zval* returnValue)
{
    if (gateClosed()) {
        callEngine(executeData, returnValue);
        return;
    }
    const int32_t callDepth = _manager->depth;
    timeval start;
    timeval end;
    vorn::getTimeOfDay(&start);
    vorn::guardEntry(Manager::LOG, WHERE, [&] { logConnectAttempt(executeData); });
    callEngine(executeData, returnValue);
    vorn::getTimeOfDay(&end);
    vorn::guardEntry(Manager::LOG, WHERE, [&] {
        ZPHPException error;
        if (doCommonConnect(executeData, thisObject(executeData), error))
            return;
        VornLog& log = Manager::LOG;
        if (log.enabled(VornLog::LEVEL_DBG1))
            log.logDbg1(logSafe(error.type + ":" + error.message) + "\r\n\t" + logSafe(error.trace));
        _manager->depth = callDepth;
        addFailedCallEvents(executeData, start, end, error, callDepth);
    });
    Manager::resumePendingBailout();
}

void ZPDOHandler::logConnectAttempt(zend_execute_data* executeData)
{
    std::string dsn;
    if (thisObject(executeData) == nullptr || !stringArg(getFunctionArgAt(executeData, 0), dsn))
        return;
    VornLog& log = Manager::LOG;
    if (log.enabled(VornLog::LEVEL_DBG1))
        log.logDbg1("PDO::connect: connection string:", logSafe(ZDbConnectionInfo(dsn).toString()));
}

bool ZPDOHandler::doCommonConnect(zend_execute_data* executeData, zval* object, ZPHPException& error)
{
    error = ZPHPException();
    std::string dsn;
    if (object == nullptr || !stringArg(getFunctionArgAt(executeData, 0), dsn))
        return true;
    ConnectionPtr connection = std::make_shared<ZDbConnectionInfo>(dsn);
    connection->id = static_cast<uint64_t>(vorn::getObjectId(object));
    stringArg(getFunctionArgAt(executeData, 1), connection->user);
    stringArg(getFunctionArgAt(executeData, 2), connection->password);
    if (exceptionPending())
        error = Manager::get().formatException(executeData);
    connection->error = error.message;
    instance().insertConnection(connection);
    return connection->error.empty() && error.type.empty();
}

// ---- Queries -----------------------------------------------------------------------

void ZPDOHandler::onPDOQuery(zend_execute_data* executeData, zval* returnValue)
{
    sqlsupport::observedCall(executeData, returnValue, !gateClosed(), WHERE,
                             [&](const timeval& start, const timeval& end, int32_t callDepth) {
                                 afterQuery(executeData, returnValue, start, end, callDepth);
                             });
}

void ZPDOHandler::onPDOExec(zend_execute_data* executeData, zval* returnValue)
{
    onPDOQuery(executeData, returnValue);
}

void ZPDOHandler::afterQuery(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                             const timeval& end, int32_t callDepth)
{
    zval* object = thisObject(executeData);
    zval* sqlArgument = deref(getFunctionArgAt(executeData, 0));
    if (object == nullptr || sqlArgument == nullptr || Z_TYPE_P(sqlArgument) != IS_STRING)
        return;
    ConnectionPtr connection;
    ZPHPException error;
    if (!reportable(executeData, returnValue, object, start, end, connection, error))
        return;
    std::string sql;
    sqlTextArg(sqlArgument, sql);
    std::string reduced;
    if (!trimSql(sql, reduced))
        return;
    reportSqlCall(executeData, start, end, sql, reduced, connection, error, callDepth);
}

// ---- Statements -------------------------------------------------------------------

void ZPDOHandler::onPDOPrepare(zend_execute_data* executeData, zval* returnValue)
{
    if (gateClosed()) {
        callEngine(executeData, returnValue);
        return;
    }
    callEngine(executeData, returnValue);
    vorn::guardEntry(Manager::LOG, WHERE, [&] {
        zval* object = thisObject(executeData);
        zval* statementValue = deref(returnValue);
        std::string sql;
        if (object == nullptr || !sqlTextArg(getFunctionArgAt(executeData, 0), sql) || statementValue == nullptr
            || Z_TYPE_P(statementValue) != IS_OBJECT)
            return;
        ZPDOHandler& self = instance();
        ConnectionPtr connection = self.getConnection(object);
        if (!connection)
            return;
        StatementPtr statement = std::make_shared<ZDbPreparedStatement>();
        statement->id = static_cast<uint64_t>(vorn::getObjectId(statementValue));
        statement->connection = connection;
        statement->sql = sql;
        self.insertStatement(statement);
    });
}

void ZPDOHandler::onPDOStatementExecute(zend_execute_data* executeData, zval* returnValue)
{
    sqlsupport::observedCall(executeData, returnValue, !gateClosed(), WHERE,
                             [&](const timeval& start, const timeval& end, int32_t callDepth) {
                                 afterStatementExecute(executeData, returnValue, start, end, callDepth);
                             });
}

void ZPDOHandler::afterStatementExecute(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                        const timeval& end, int32_t callDepth)
{
    // A fast execute that succeeded, most of them, costs no registry lookup.
    const bool failed = exceptionPending() || isFalse(returnValue);
    if (!failed && !slowEnough(elapsedMs(start, end)))
        return;
    zval* object = thisObject(executeData);
    StatementPtr statement = instance().getStatement(object);
    if (!statement)
        return;
    ZPHPException error;
    if (failed)
        failureOf(executeData, returnValue, object, error);
    std::string reduced;
    if (!trimSql(statement->sql, reduced))
        return;
    reportSqlCall(executeData, start, end, statement->sql, reduced, statement->connection, error, callDepth);
}

// ---- Transactions -----------------------------------------------------------------

void ZPDOHandler::onPDOBegin(zend_execute_data* executeData, zval* returnValue)
{
    transaction(executeData, returnValue, "BEGIN");
}

void ZPDOHandler::onPDOCommit(zend_execute_data* executeData, zval* returnValue)
{
    transaction(executeData, returnValue, "COMMIT");
}

void ZPDOHandler::onPDORollback(zend_execute_data* executeData, zval* returnValue)
{
    transaction(executeData, returnValue, "ROLLBACK");
}

void ZPDOHandler::transaction(zend_execute_data* executeData, zval* returnValue, const char* text)
{
    sqlsupport::observedCall(executeData, returnValue, !gateClosed(), WHERE,
                             [&](const timeval& start, const timeval& end, int32_t callDepth) {
                                 afterTransaction(executeData, returnValue, text, start, end, callDepth);
                             });
}

// A transaction statement that failed (no active transaction, a lost
// connection) is reported as failed, whatever its duration, like any other
// failed call; a successful one only when slow.
void ZPDOHandler::afterTransaction(zend_execute_data* executeData, zval* returnValue, const char* text,
                                   const timeval& start, const timeval& end, int32_t callDepth)
{
    zval* object = thisObject(executeData);
    if (object == nullptr)
        return;
    ConnectionPtr connection;
    ZPHPException error;
    if (!reportable(executeData, returnValue, object, start, end, connection, error))
        return;
    reportSqlCall(executeData, start, end, text, text, connection, error, callDepth);
}

// ---- Errors and reporting ------------------------------------------------------------

bool ZPDOHandler::reportable(zend_execute_data* executeData, zval* returnValue, zval* object, const timeval& start,
                             const timeval& end, ConnectionPtr& connection, ZPHPException& error)
{
    const bool failed = exceptionPending() || isFalse(returnValue);
    if (!failed && !slowEnough(elapsedMs(start, end)))
        return false;
    connection = instance().getConnection(object);
    if (!connection)
        return false;
    if (failed)
        failureOf(executeData, returnValue, object, error);
    return true;
}

ZPHPException ZPDOHandler::getErrorInfo(zval* object, zend_execute_data* executeData)
{
    return errorInfoDetails(object, executeData);
}

bool ZPDOHandler::failureOf(zend_execute_data* executeData, zval* returnValue, zval* object, ZPHPException& error)
{
    if (exceptionPending()) {
        error = Manager::get().formatException(executeData);
        return true;
    }
    if (isFalse(returnValue)) {
        error = getErrorInfo(object, executeData);
        return true;
    }
    return false;
}

