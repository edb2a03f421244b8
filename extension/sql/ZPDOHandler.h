#pragma once

#include <sys/time.h>

#include <cstdint>

#include "extension/sql/ZSqlHandlerBase.h"

// The PDO handler: connections through PDO::__construct, SQL through
// PDO::query, PDO::exec and PDOStatement::execute (with the text registered
// by PDO::prepare), and the transaction statements. Every replacement runs
// the engine's own method exactly once and leaves its result and any pending
// exception as the engine left them; classes extending PDO or PDOStatement
// inherit the replacements with the records the engine copies.
class ZPDOHandler : public ZSqlHandlerBase {
public:
    ZPDOHandler();
    ~ZPDOHandler() override;

    static void onPDOConstruct(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOQuery(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOExec(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOPrepare(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOStatementExecute(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOBegin(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDOCommit(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void onPDORollback(_zend_execute_data* executeData, _zval_struct* returnValue);

    // Registers the connection of a PDO constructor call that ran (after the
    // engine's call); false when the attempt failed, with `error` filled.
    static bool doCommonConnect(_zend_execute_data* executeData, _zval_struct* object, ZPHPException& error);
    // Error details of a failed call on a PDO or PDOStatement object.
    static ZPHPException getErrorInfo(_zval_struct* object, _zend_execute_data* executeData);

private:
    static ZPDOHandler& instance();
    // Error details of a call that ran: the pending exception, else the
    // driver's error when the call returned false. False for a call without
    // error.
    static bool failureOf(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* object,
                          ZPHPException& error);
    // A call on `object` to report, with its connection and error: a failed
    // call at any duration, a successful one only when slow, and only on a
    // known connection.
    static bool reportable(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* object,
                           const timeval& start, const timeval& end, ConnectionPtr& connection,
                           ZPHPException& error);
    static void afterQuery(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                           const timeval& end, int32_t callDepth);
    static void afterStatementExecute(_zend_execute_data* executeData, _zval_struct* returnValue,
                                      const timeval& start, const timeval& end, int32_t callDepth);
    static void afterTransaction(_zend_execute_data* executeData, _zval_struct* returnValue, const char* text,
                                 const timeval& start, const timeval& end, int32_t callDepth);
    static void transaction(_zend_execute_data* executeData, _zval_struct* returnValue, const char* text);
    static void logConnectAttempt(_zend_execute_data* executeData);
};
