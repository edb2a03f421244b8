#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "extension/sql/ZSqlHandlerBase.h"

// The mysqli handler: connects register a description of the link, queries,
// statement executions and rollbacks on a known link are reported when they
// fail or are slow, and statements remember the SQL text they were prepared
// with. Procedural handlers find the link (or statement) in their first
// argument, object handlers in the call's $this; both forward to one common
// routine.
//
// mysqli throws mysqli_sql_exception by default: an exception pending after
// the engine's call is a failure, like a false result. The error texts are
// read from the objects' properties without running script code and without
// leaving an error behind (a closed link's properties refuse to be read).
class ZMySQLiHandler : public ZSqlHandlerBase {
public:
    ZMySQLiHandler();
    ~ZMySQLiHandler() override;

    // ---- Replacement handlers ---------------------------------------------
    static void on_mysqli___construct(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_real_connect(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_real_connect_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_connect(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_query(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_query_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_rollback(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_rollback_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_commit(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_commit_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_begin_transcation(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_begin_transcation_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    // Also mysqli_stmt_init() and mysqli::stmt_init().
    static void on_mysqli_prepare(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_prepare_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_stmt_prepare(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_stmt_prepare_oo(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_stmt_execute(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_mysqli_stmt_execute_oo(_zend_execute_data* executeData, _zval_struct* returnValue);

    // ---- Common routines (link: the call's $this, or null) ----------------
    static void doCommonQuery(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link);
    static void doCommonStatementInit(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link);
    static void doCommonStatementPrepare(_zend_execute_data* executeData, _zval_struct* returnValue,
                                         _zval_struct* link);
    static void doCommonStatementExecute(_zend_execute_data* executeData, _zval_struct* returnValue,
                                         _zval_struct* link);
    static void doCommonTxnQuery(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                                 const char* fixedText);

    // The error of a call on a mysqli object: empty when the object's number
    // property reads 0 and no exception is pending; else the text property
    // (cut to qx.exception_max_message_length), the kind "Function failure"
    // (or the pending exception's class) and the SQL backtrace. An exception
    // other than mysqli_sql_exception brings its own message.
    static ZPHPException formatError(_zend_execute_data* executeData, _zval_struct* object, const char* numberName,
                                     const char* textName);

private:
    // What a connect handler knows once the engine's call is over.
    struct ConnectCall {
        _zend_execute_data* executeData;
        _zval_struct* link;   // the link object, or null
        int64_t first;        // argument index of the host
        bool attempt;         // a real connect was tried (not `new mysqli()` alone)
        const char* text;     // log text of a failure
        timeval start;
        timeval end;
    };

    // The replacement's frame (sqlsupport::observedCall): past the gate
    // (`observed`), `observe(handler, start, end)` runs after the engine's
    // call on the handler of the process, when there is one.
    template <class Observe>
    static void run(_zend_execute_data* executeData, _zval_struct* returnValue, bool observed, Observe&& observe);
    static void timedConnect(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                             int64_t first, bool attempt, const char* text);
    // Registers the link's description (in a collected request); true when
    // the connect did not fail.
    bool doCommonConnect(const ConnectCall& call, ZPHPException& error);
    // The description of the connected link, with the connect's error text.
    static ConnectionPtr describeLink(const ConnectCall& call, const ZPHPException& error);
    void connectFailed(const ConnectCall& call, const ZPHPException& error);
    void observeConnectFunction(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                                const timeval& end);
    void observeQuery(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                      const timeval& start, const timeval& end);
    void observeStatementInit(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                              const timeval& start, const timeval& end);
    void observeStatementPrepare(_zend_execute_data* executeData, _zval_struct* link);
    void observeStatementExecute(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                                 const timeval& start, const timeval& end);
    void observeTxnQuery(_zend_execute_data* executeData, _zval_struct* returnValue, _zval_struct* link,
                         const char* fixedText, const timeval& start, const timeval& end);
    // The remote start and end events of a reported call, its SQL text
    // reduced by qx.sql_mode (nothing but a log line when that is refused).
    static void reportTrimmed(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                              const std::string& sql, const ConnectionPtr& connection, const ZPHPException& error);

    static ZMySQLiHandler* instance();
};
