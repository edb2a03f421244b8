#pragma once

#include <sys/time.h>

#include "extension/sql/ZSqlHandlerBase.h"

// The OCI8 (Oracle) handler: connects register a description of the returned
// link, parses remember the statement's SQL text and link, slow executions and
// rollbacks on known links are reported as remote calls, and every failed call
// is reported as a plain method call carrying the error that oci_error() gives
// for the link or statement the call worked on. Links and statements are
// resources, identified by their handle numbers.
class ZOciHandler : public ZSqlHandlerBase {
public:
    ZOciHandler();
    ~ZOciHandler() override;

    static void on_oci_connect(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_oci_parse(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_oci_execute(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_oci_rollback(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_oci_commit(_zend_execute_data* executeData, _zval_struct* returnValue);

    // The last OCI8 error of `handle` (a link or statement resource), or of
    // the last failed connect when `handle` is null: kind "Function failure",
    // the message of oci_error() with its bytes as they are, and the SQL
    // backtrace.
    static ZPHPException ociError(_zval_struct* handle, _zend_execute_data* executeData);
    // Logs a failed call and reports it as a plain method call with flags 33.
    static void doReportError(_zend_execute_data* executeData, const char* functionName, const timeval& start,
                              _zval_struct* handle);

private:
    using Observer = void (ZOciHandler::*)(_zend_execute_data*, _zval_struct*, const timeval&, const timeval&);
    static void run(_zend_execute_data* executeData, _zval_struct* returnValue, Observer observer);

    void observeConnect(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                        const timeval& end);
    void observeParse(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                      const timeval& end);
    void observeExecute(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                        const timeval& end);
    void observeRollback(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                         const timeval& end);
    void observeCommit(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                       const timeval& end);
    // A rollback or commit: failures always, successes when slow.
    void observeTransaction(_zend_execute_data* executeData, _zval_struct* returnValue, const timeval& start,
                            const timeval& end, const char* functionName, const char* sql);
};
