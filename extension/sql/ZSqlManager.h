#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

struct _zend_execute_data;
struct _zval_struct;
struct vorn_wrapped_function;
class ZMySQLiHandler;
class ZPDOHandler;
class ZOciHandler;

// The one door between the instrumentation engine and the database handlers:
// the wrapping of listed internal functions offers each one here first, and
// every request activation resets the handlers' registries.
class ZSqlManager {
public:
    using Handler = void (*)(_zend_execute_data*, _zval_struct*);

    // Builds the handlers in this order: mysqli, PDO, OCI8.
    ZSqlManager();
    virtual ~ZSqlManager();

    // True when `handler` is one of the SQL handlers' replacements (asked in
    // the order mysqli, PDO, OCI8).
    bool isHooked(Handler handler) const;
    // Offers the function under `key` to mysqli, PDO and OCI8 in turn; the
    // first taker sets the record's handler and the answer is true. False
    // leaves the record alone.
    bool hook(const std::wstring& key, vorn_wrapped_function& record);
    // Per-request reset of the handlers' connection and statement registries
    // (mysqli, PDO, OCI8).
    void cleanup();

    boost::shared_ptr<ZMySQLiHandler> mysqli;
    boost::shared_ptr<ZPDOHandler> pdo;
    boost::shared_ptr<ZOciHandler> oci;
};
