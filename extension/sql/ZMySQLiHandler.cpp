#include "extension/sql/ZMySQLiHandler.h"

#include <memory>

#include "php.h"

#include "common/VornUtils.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"
#include "extension/sql/SqlHandlerSupport.h"
#include "extension/sql/ZSqlManager.h"

// Every replacement handler below runs in sqlsupport::observedCall: only
// trivially destructible locals live across the engine's own implementation,
// and the bookkeeping runs afterwards, guarded, on the handler of the process.

namespace {

const char* const GUARD = "SQL instrumentation (mysqli) failed:";

bool isObject(zval* value)
{
    return value != nullptr && Z_TYPE_P(value) == IS_OBJECT;
}

std::string stringOrEmpty(zval* value)
{
    std::string text;
    ZSqlHandlerBase::stringArg(value, text);
    return text;
}

} // namespace

ZMySQLiHandler::ZMySQLiHandler()
{
    handlers[L"mysqli::mysqli"] = scriptCalls<on_mysqli___construct>;
    handlers[L"mysqli::__construct"] = scriptCalls<on_mysqli___construct>;
    handlers[L"mysqli::real_connect"] = scriptCalls<on_mysqli_real_connect_oo>;
    handlers[L"mysqli::rollback"] = scriptCalls<on_mysqli_rollback_oo>;
    handlers[L"mysqli::prepare"] = scriptCalls<on_mysqli_prepare_oo>;
    handlers[L"mysqli_prepare"] = scriptCalls<on_mysqli_prepare>;
    handlers[L"mysqli::query"] = scriptCalls<on_mysqli_query_oo>;
    handlers[L"mysqli::multi_query"] = scriptCalls<on_mysqli_query_oo>;
    handlers[L"mysqli::real_query"] = scriptCalls<on_mysqli_query_oo>;
    handlers[L"mysqli_real_connect"] = scriptCalls<on_mysqli_real_connect>;
    handlers[L"mysqli_query"] = scriptCalls<on_mysqli_query>;
    handlers[L"mysqli_real_query"] = scriptCalls<on_mysqli_query>;
    handlers[L"mysqli_multi_query"] = scriptCalls<on_mysqli_query>;
    handlers[L"mysqli_connect"] = scriptCalls<on_mysqli_connect>;
    handlers[L"mysqli_rollback"] = scriptCalls<on_mysqli_rollback>;
    // A statement made empty is registered like a prepared one; its SQL
    // text comes with its own prepare.
    handlers[L"mysqli_stmt_init"] = scriptCalls<on_mysqli_prepare>;
    handlers[L"mysqli::stmt_init"] = scriptCalls<on_mysqli_prepare_oo>;
    handlers[L"mysqli_stmt_prepare"] = scriptCalls<on_mysqli_stmt_prepare>;
    handlers[L"mysqli_stmt::prepare"] = scriptCalls<on_mysqli_stmt_prepare_oo>;
    handlers[L"mysqli_stmt::execute"] = scriptCalls<on_mysqli_stmt_execute_oo>;
    handlers[L"mysqli_stmt_execute"] = scriptCalls<on_mysqli_stmt_execute>;
    // Commits and transaction starts are timed like rollbacks.
    handlers[L"mysqli::commit"] = scriptCalls<on_mysqli_commit_oo>;
    handlers[L"mysqli_commit"] = scriptCalls<on_mysqli_commit>;
    handlers[L"mysqli::begin_transaction"] = scriptCalls<on_mysqli_begin_transcation_oo>;
    handlers[L"mysqli_begin_transaction"] = scriptCalls<on_mysqli_begin_transcation>;
}

ZMySQLiHandler::~ZMySQLiHandler() = default;

ZMySQLiHandler* ZMySQLiHandler::instance()
{
    Manager* manager = _manager;
    return manager != nullptr ? manager->sqlManager.mysqli.get() : nullptr;
}

// ---- Replacement handlers ---------------------------------------------------------

void ZMySQLiHandler::on_mysqli___construct(zend_execute_data* executeData, zval* returnValue)
{
    // Without arguments the constructor only prepares the object (like
    // mysqli_init()); no connect is tried, so no connect error can be its.
    const bool attempt = getFunctionArgsCount(executeData) > 0;
    timedConnect(executeData, returnValue, thisObject(executeData), 0, attempt,
                 "Error in function: mysqli::__construct():");
}

void ZMySQLiHandler::on_mysqli_real_connect(zend_execute_data* executeData, zval* returnValue)
{
    timedConnect(executeData, returnValue, nullptr, 1, true, "Error in function: mysqli_real_connect():");
}

void ZMySQLiHandler::on_mysqli_real_connect_oo(zend_execute_data* executeData, zval* returnValue)
{
    zval* link = thisObject(executeData);
    timedConnect(executeData, returnValue, link, link ? 0 : 1, true, "Error in function: mysqli::real_connect():");
}

void ZMySQLiHandler::on_mysqli_connect(zend_execute_data* executeData, zval* returnValue)
{
    run(executeData, returnValue, true, [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
        self.observeConnectFunction(executeData, returnValue, start, end);
    });
}

void ZMySQLiHandler::on_mysqli_query(zend_execute_data* executeData, zval* returnValue)
{
    doCommonQuery(executeData, returnValue, nullptr);
}

void ZMySQLiHandler::on_mysqli_query_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonQuery(executeData, returnValue, thisObject(executeData));
}

void ZMySQLiHandler::on_mysqli_rollback(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, nullptr, "ROLLBACK");
}

void ZMySQLiHandler::on_mysqli_rollback_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, thisObject(executeData), "ROLLBACK");
}

void ZMySQLiHandler::on_mysqli_commit(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, nullptr, "COMMIT");
}

void ZMySQLiHandler::on_mysqli_commit_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, thisObject(executeData), "COMMIT");
}

void ZMySQLiHandler::on_mysqli_begin_transcation(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, nullptr, "BEGIN");
}

void ZMySQLiHandler::on_mysqli_begin_transcation_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonTxnQuery(executeData, returnValue, thisObject(executeData), "BEGIN");
}

void ZMySQLiHandler::on_mysqli_prepare(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementInit(executeData, returnValue, nullptr);
}

void ZMySQLiHandler::on_mysqli_prepare_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementInit(executeData, returnValue, thisObject(executeData));
}

void ZMySQLiHandler::on_mysqli_stmt_prepare(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementPrepare(executeData, returnValue, nullptr);
}

void ZMySQLiHandler::on_mysqli_stmt_prepare_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementPrepare(executeData, returnValue, thisObject(executeData));
}

void ZMySQLiHandler::on_mysqli_stmt_execute(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementExecute(executeData, returnValue, nullptr);
}

void ZMySQLiHandler::on_mysqli_stmt_execute_oo(zend_execute_data* executeData, zval* returnValue)
{
    doCommonStatementExecute(executeData, returnValue, thisObject(executeData));
}

// ---- Common routines ------------------------------------------------------------------

template <class Observe>
void ZMySQLiHandler::run(zend_execute_data* executeData, zval* returnValue, bool observed, Observe&& observe)
{
    sqlsupport::observedCall(executeData, returnValue, observed, GUARD,
                             [&](const timeval& start, const timeval& end, int32_t) {
                                 if (ZMySQLiHandler* self = instance())
                                     observe(*self, start, end);
                             });
}

void ZMySQLiHandler::doCommonQuery(zend_execute_data* executeData, zval* returnValue, zval* link)
{
    run(executeData, returnValue, !gateClosed(), [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
        self.observeQuery(executeData, returnValue, link, start, end);
    });
}

void ZMySQLiHandler::doCommonStatementInit(zend_execute_data* executeData, zval* returnValue, zval* link)
{
    run(executeData, returnValue, collecting(),
        [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
            self.observeStatementInit(executeData, returnValue, link, start, end);
        });
}

void ZMySQLiHandler::doCommonStatementPrepare(zend_execute_data* executeData, zval* returnValue, zval* link)
{
    run(executeData, returnValue, collecting(),
        [&](ZMySQLiHandler& self, const timeval&, const timeval&) { self.observeStatementPrepare(executeData, link); });
}

void ZMySQLiHandler::doCommonStatementExecute(zend_execute_data* executeData, zval* returnValue, zval* link)
{
    run(executeData, returnValue, !gateClosed(), [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
        self.observeStatementExecute(executeData, returnValue, link, start, end);
    });
}

void ZMySQLiHandler::doCommonTxnQuery(zend_execute_data* executeData, zval* returnValue, zval* link,
                                      const char* fixedText)
{
    run(executeData, returnValue, !gateClosed(), [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
        self.observeTxnQuery(executeData, returnValue, link, fixedText, start, end);
    });
}

void ZMySQLiHandler::timedConnect(zend_execute_data* executeData, zval* returnValue, zval* link, int64_t first,
                                  bool attempt, const char* text)
{
    run(executeData, returnValue, true, [&](ZMySQLiHandler& self, const timeval& start, const timeval& end) {
        // The procedural form: the link comes first.
        ConnectCall call{executeData, link != nullptr ? link : getFunctionArgValue(executeData, 0), first, attempt,
                         text, start, end};
        ZPHPException error;
        if (!self.doCommonConnect(call, error))
            self.connectFailed(call, error);
    });
}

// ---- Connections -------------------------------------------------------------------------

bool ZMySQLiHandler::doCommonConnect(const ConnectCall& call, ZPHPException& error)
{
    error = ZPHPException();
    if (!isObject(call.link))
        return true;
    zend_execute_data* executeData = call.executeData;
    if (call.attempt)
        error = formatError(executeData, call.link, "connect_errno", "connect_error");
    // Only a collected request reports calls on its links, and only its
    // activation empties the registry again: a request that is not collected
    // (no registration block at all, for one) must not fill it, nor spend
    // anything on a description it would not keep.
    if (collecting())
        insertConnection(describeLink(call, error));
    return error.type.empty();
}

ZSqlHandlerBase::ConnectionPtr ZMySQLiHandler::describeLink(const ConnectCall& call, const ZPHPException& error)
{
    zend_execute_data* executeData = call.executeData;
    auto connection = std::make_shared<ZDbConnectionInfo>();
    connection->id = static_cast<uint64_t>(vorn::getObjectId(call.link));
    connection->host = stringOrEmpty(getFunctionArgValue(executeData, call.first));
    connection->user = stringOrEmpty(getFunctionArgValue(executeData, call.first + 1));
    connection->password = stringOrEmpty(getFunctionArgValue(executeData, call.first + 2));
    connection->dbName = stringOrEmpty(getFunctionArgValue(executeData, call.first + 3));
    connection->dbType = "mysql";
    connection->type = "MYSQLI";
    connection->port = "3306";
    // mysqli takes the port as an integer; a string of digits (a script
    // without strict types) is converted by mysqli itself, so it is the port
    // used as well.
    zval* port = getFunctionArgValue(executeData, call.first + 4);
    std::string digits;
    if (port != nullptr && Z_TYPE_P(port) == IS_LONG && Z_LVAL_P(port) >= 1) {
        connection->port = std::to_string(Z_LVAL_P(port));
    } else if (stringArg(port, digits) && !digits.empty() && digits.size() <= 5
               && digits.find_first_not_of("0123456789") == std::string::npos && std::stol(digits) >= 1) {
        connection->port = std::to_string(std::stol(digits));
    }
    connection->error = error.message;
    return connection;
}

void ZMySQLiHandler::connectFailed(const ConnectCall& call, const ZPHPException& error)
{
    sqlsupport::logAndReportFailedCall(call.executeData, call.start, call.end, error, call.text);
}

void ZMySQLiHandler::observeConnectFunction(zend_execute_data* executeData, zval* returnValue, const timeval& start,
                                            const timeval& end)
{
    ConnectCall call{executeData, nullptr, 0, true, "Error in function: mysqli_connect():", start, end};
    ZPHPException error;
    if (isObject(returnValue)) {
        call.link = returnValue;
        if (!doCommonConnect(call, error))
            connectFailed(call, error);
        return;
    }
    if (!sqlsupport::callFailed(returnValue))
        return;
    // No link: the error is the one mysqli_connect_error() reports. Its text
    // comes back widened byte by byte; the bytes are kept as they are.
    std::wstring text;
    callUserFunction(L"mysqli_connect_error", text);
    error.setErrorMessage(sqlsupport::latin1Bytes(text), sqlsupport::maxMessageLength());
    error.type = "Function failure";
    sqlsupport::takePendingException(error);
    error.trace = getBacktrace(executeData);
    connectFailed(call, error);
}

// ---- Queries, statements, transactions -------------------------------------------------------------

void ZMySQLiHandler::observeQuery(zend_execute_data* executeData, zval* returnValue, zval* link,
                                  const timeval& start, const timeval& end)
{
    // A fast query that succeeded costs no copy of its text and no lookup.
    const bool failed = sqlsupport::callFailed(returnValue);
    if (!failed && !slowEnough(elapsedMs(start, end)))
        return;
    zval* subject = link != nullptr ? link : getFunctionArgValue(executeData, 0);
    zval* sqlValue = getFunctionArgValue(executeData, link != nullptr ? 0 : 1);
    std::string sql;
    if (subject == nullptr || !sqlTextArg(sqlValue, sql))
        return;
    ConnectionPtr connection = getConnection(subject);
    if (!connection)
        return;
    ZPHPException error;
    if (failed)
        error = formatError(executeData, subject, "errno", "error");
    reportTrimmed(executeData, start, end, sql, connection, error);
}

void ZMySQLiHandler::observeStatementInit(zend_execute_data* executeData, zval* returnValue, zval* link,
                                          const timeval& start, const timeval& end)
{
    zval* subject = link != nullptr ? link : getFunctionArgValue(executeData, 0);
    zval* sqlValue = getFunctionArgValue(executeData, link != nullptr ? 0 : 1);
    if (!isObject(subject))
        return;
    ConnectionPtr connection = getConnection(subject);
    if (!connection || returnValue == nullptr)
        return;
    std::string sql;
    const bool hasSql = sqlTextArg(sqlValue, sql);
    if (isObject(returnValue)) {
        auto statement = std::make_shared<ZDbPreparedStatement>();
        statement->id = static_cast<uint64_t>(vorn::getObjectId(returnValue));
        statement->connection = connection;
        statement->sql = sql;
        insertStatement(statement);
        return;
    }
    // A failed prepare is reported whatever its duration, within the
    // request's limits and SQL mode like every other reported call.
    if (!hasSql || !sqlsupport::callFailed(returnValue) || gateClosed())
        return;
    reportTrimmed(executeData, start, end, sql, connection, formatError(executeData, subject, "errno", "error"));
}

void ZMySQLiHandler::observeStatementPrepare(zend_execute_data* executeData, zval* link)
{
    zval* statementValue = link != nullptr ? link : getFunctionArgValue(executeData, 0);
    zval* sqlValue = getFunctionArgValue(executeData, link != nullptr ? 0 : 1);
    std::string sql;
    if (!isObject(statementValue) || !sqlTextArg(sqlValue, sql))
        return;
    StatementPtr statement = getStatement(statementValue);
    if (statement)
        statement->sql = sql;
}

void ZMySQLiHandler::observeStatementExecute(zend_execute_data* executeData, zval* returnValue, zval* link,
                                             const timeval& start, const timeval& end)
{
    // A failed execution is reported at any duration, like a failed query.
    const bool failed = sqlsupport::callFailed(returnValue);
    if (!failed && !slowEnough(elapsedMs(start, end)))
        return;
    zval* statementValue = link != nullptr ? link : getFunctionArgValue(executeData, 0);
    StatementPtr statement = getStatement(statementValue);
    if (!statement)
        return;
    reportTrimmed(executeData, start, end, statement->sql, statement->connection,
                  formatError(executeData, statementValue, "errno", "error"));
}

void ZMySQLiHandler::observeTxnQuery(zend_execute_data* executeData, zval* returnValue, zval* link,
                                     const char* fixedText, const timeval& start, const timeval& end)
{
    // A transaction call that fails is reported at any duration, with its error.
    const bool failed = sqlsupport::callFailed(returnValue);
    if (!failed && !slowEnough(elapsedMs(start, end)))
        return;
    zval* subject = link != nullptr ? link : getFunctionArgValue(executeData, 0);
    if (!isObject(subject))
        return;
    ConnectionPtr connection = getConnectionById(static_cast<uint64_t>(vorn::getObjectId(subject)));
    if (!connection)
        return;
    ZPHPException error;
    if (failed) {
        error = formatError(executeData, subject, "errno", "error");
        if (error.type.empty()) {
            // False without an error number ("no transaction to roll back"
            // is not an error of the server): still a failed call.
            error.type = "Function failure";
            error.trace = getBacktrace(executeData);
        }
    }
    reportSqlCall(executeData, start, end, fixedText, fixedText, connection, error);
}

void ZMySQLiHandler::reportTrimmed(zend_execute_data* executeData, const timeval& start, const timeval& end,
                                   const std::string& sql, const ConnectionPtr& connection,
                                   const ZPHPException& error)
{
    std::string reduced;
    if (!trimSql(sql, reduced)) {
        sqlsupport::logSqlRefused();
        return;
    }
    reportSqlCall(executeData, start, end, sql, reduced, connection, error);
}

ZPHPException ZMySQLiHandler::formatError(zend_execute_data* executeData, zval* object, const char* numberName,
                                          const char* textName)
{
    ZPHPException error;
    // An engine error (a closed link, a statement never prepared) is not the
    // server's: the object's error properties may still hold an older error.
    zend_object* pending = EG(exception);
    const bool engineError = pending != nullptr
        && !zend_string_equals_literal_ci(pending->ce->name, "mysqli_sql_exception");
    if (!engineError && readObjectIntProperty(object, numberName, 0) != 0) {
        error.setErrorMessage(readObjectStringProperty(object, textName, "", sqlsupport::messageBytesRead()),
                              sqlsupport::maxMessageLength());
        error.type = "Function failure";
    }
    sqlsupport::takePendingException(error);
    if (!error.type.empty())
        error.trace = getBacktrace(executeData);
    return error;
}
