#pragma once

#include <string>

struct _zend_execute_data;
struct _zval_struct;
struct vorn_wrapped_function;

// Takes over the database functions listed in the point files. The database
// handlers are not part of this build yet, so it takes no function: every
// listed database function gets the plain timing wrapper until they exist.
class ZSqlManager {
public:
    using Handler = void (*)(_zend_execute_data*, _zval_struct*);

    ZSqlManager();
    virtual ~ZSqlManager();

    // True when `handler` is one of the SQL handlers' replacements.
    bool isHooked(Handler handler) const;
    // Offers the function under `key` to the SQL handlers; the taker sets the
    // record's handler and the answer is true. False leaves the record alone.
    bool hook(const std::wstring& key, vorn_wrapped_function& record);
    // Per-request reset of the handlers' connection and statement records.
    void cleanup();
};
