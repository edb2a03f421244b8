#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "extension/instrumentation/InternalFunctionHandlerBase.h"
#include "extension/model/ZPHPException.h"
#include "extension/sql/ZDbConnectionInfo.h"
#include "extension/sql/ZDbPreparedStatement.h"

class ZCaptureEvent;
class ZLocation;
struct _zend_execute_data;
struct _zval_struct;

// A bound value of a statement, reported as an invocation attribute of the
// call's start event.
struct ZBoundValue {
    std::string name;
    std::string value;
};

// Base of the database handlers (mysqli, PDO, OCI8). Each concrete handler
// fills `handlers` in its constructor with the point-file keys it takes over;
// the base installs the replacements, keeps the request's connections and
// statements (keyed by object or resource ids, never holding a script value),
// and gives the handlers the shared pieces of a reported SQL call.
//
// A replacement handler is a static function with the engine's handler
// signature. It holds only trivially destructible locals across the engine's
// own implementation (a fatal error or time-out leaves it by a long jump), and
// runs its bookkeeping afterwards inside vorn::guardEntry, which leaves errno
// as that implementation left it.
class ZSqlHandlerBase : public InternalFunctionHandlerBase {
public:
    using ConnectionPtr = std::shared_ptr<ZDbConnectionInfo>;
    using StatementPtr = std::shared_ptr<ZDbPreparedStatement>;

    ~ZSqlHandlerBase() override;

    // Registry lookups by the value's object id (assigned now for an object
    // seen for the first time) or resource handle; empty for any other value
    // or an id without an entry.
    ConnectionPtr getConnection(_zval_struct* value);
    StatementPtr getStatement(_zval_struct* value);
    ConnectionPtr getConnectionById(uint64_t id) const;
    // The newest registration under an id wins. A request that opens links
    // or prepares statements in a loop must not grow a registry without
    // bound: once one holds MAX_REGISTRY_ENTRIES, the entry with the lowest
    // id (object ids and resource handles only grow) makes room.
    static constexpr std::size_t MAX_REGISTRY_ENTRIES = 4096;
    void insertConnection(const ConnectionPtr& connection);
    void insertStatement(const StatementPtr& statement);
    // Per-request reset: both registries emptied.
    void cleanup();

    // ---- Shared operations of the handlers ----------------------------------

    // A property of an object read without running any script code (no magic
    // getter, no notice): the string up to its first NUL byte, else `fallback`.
    // No more than `maxBytes` of the string are read.
    static std::string readObjectStringProperty(_zval_struct* value, const char* name, const std::string& fallback,
                                                std::size_t maxBytes = static_cast<std::size_t>(-1));
    // The same for an integer property, truncated to 32 bits.
    static int32_t readObjectIntProperty(_zval_struct* value, const char* name, int32_t fallback);
    // Calls a global PHP function without arguments, with the script's pending
    // exception set aside. True when the call was made; `result` holds its
    // string result (Latin-1 widened), empty for any other result.
    static bool callUserFunction(const std::wstring& name, std::wstring& result);
    // The call stack from `executeData` down, one frame per "\r\n\t"-ended part.
    static std::string getBacktrace(_zend_execute_data* executeData);

    // The remote method start event of a reported SQL call, queued and
    // counted against qx.max_functions. Its depth is Manager::depth + 1.
    // Empty (nothing queued) while the Manager has no events reporter.
    static boost::shared_ptr<ZCaptureEvent> addStartMethodEvent(const timeval& start,
                                                                const boost::shared_ptr<ZLocation>& location,
                                                                const std::string& sql, const std::string& reduced,
                                                                const ConnectionPtr& connection,
                                                                const std::vector<ZBoundValue>& boundValues);
    // The matching end event; flags 33 with the details when `error.type` is
    // not empty. Empty (nothing queued) for an empty start event.
    static boost::shared_ptr<ZCaptureEvent> addEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                              const boost::shared_ptr<ZLocation>& location,
                                                              const timeval& end, const ZPHPException& error);
    // Reduces the SQL text by qx.sql_mode; true when it may be reported.
    static bool trimSql(const std::string& sql, std::string& reduced);
    // The remote start and end events of a reported SQL call at the location
    // of the function `executeData` runs (nothing without one). With
    // `callDepth` not negative, Manager::depth is set to it first.
    static void reportSqlCall(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                              const std::string& sql, const std::string& reduced, const ConnectionPtr& connection,
                              const ZPHPException& error, int32_t callDepth = -1);

    // ---- Frame helpers ------------------------------------------------------

    // Gate of every handler: collection off, a limit reached or qx.sql_mode 0.
    static bool gateClosed();
    // Milliseconds between two times, as the slow-call tests compare them.
    static uint64_t elapsedMs(const timeval& start, const timeval& end);
    // qx.slow_sql_threshold reached by a call of `ms` milliseconds.
    static bool slowEnough(uint64_t ms);
    // A string value's bytes up to its first NUL; false when not a string.
    static bool stringArg(_zval_struct* value, std::string& text);
    // A SQL text argument as stringArg, but only the part that its reduction
    // reads (sqlTextHead): a text of any length costs the same.
    static bool sqlTextArg(_zval_struct* value, std::string& text);
    // The location of the listed function being executed, with the "sql"
    // layer type; null when it has none.
    static boost::shared_ptr<ZLocation> sqlLocation(_zend_execute_data* executeData);
    // Calls an object's method without arguments, the class's own internal
    // implementation even when a script class overrides it (no script code
    // runs), with the script's pending exception set aside. `lowerName` is
    // the method's lower-case name. True when `result` holds a value that the
    // caller releases.
    static bool callInternalMethod(_zval_struct* object, const char* lowerName, _zval_struct* result);
    // A failed call reported as a plain method call at the call's depth, with
    // flags 33 and the error details. It passes the gate of every handler
    // (collection on, limits not reached, qx.sql_mode not 0) and counts
    // against qx.max_functions, so a request that fails in a loop cannot grow
    // its block without bound; a registration the caller made stays.
    // `callDepth` is Manager::depth as the gate left it.
    static void addFailedCallEvents(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                                    const ZPHPException& error, int32_t callDepth);
    // The driver's error details of a failed call that returned false: the
    // message (cut to qx.exception_max_message_length) of element 2 of the
    // object's internal errorInfo(), type "Function failure", and the SQL
    // backtrace.
    static ZPHPException errorInfoDetails(_zval_struct* object, _zend_execute_data* executeData);
    // The object a method call runs on, or null.
    static _zval_struct* thisObject(_zend_execute_data* executeData);
    // A text from the script (SQL, messages) made safe for one log line: no
    // line break or other control byte gets through as it is, and it is bounded.
    static std::string logSafe(const std::string& text);

    using InternalFunctionHandlerBase::handlers;
    std::map<uint64_t, ConnectionPtr> connections;
    std::map<uint64_t, StatementPtr> statements;

protected:
    ZSqlHandlerBase() = default;
};
