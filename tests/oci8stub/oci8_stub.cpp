// A test-only stand-in for PHP's Oracle extension: a module named "oci8" (file
// oci8.so) whose oci_* functions behave, for the calls the probe takes over,
// the way the real ones do, without any database. Loaded only by the tests.
//
// Resources have the real extension's kinds ("oci8 connection", "oci8
// persistent connection", "oci8 statement"). What happens is decided by the
// call's own texts:
//   - connect: the password "wrong" fails with ORA-01017, a connect string
//     holding "nohost" fails with ORA-12154; a connect string holding
//     "dropping" gives a link whose server has gone: execute, commit and
//     rollback on it fail with ORA-03113. oci_connect and oci_pconnect hand
//     back the same resource for the same credentials within a request, like
//     the real extension; oci_new_connect always makes a new one.
//   - parse: an empty SQL text fails with ORA-24333 (error on the link).
//   - execute: "sleep(<seconds>)" in the SQL waits that long (at most 10 s);
//     "no_such_table" fails with ORA-00942; "raise_application_error(-N,
//     '<text>')" fails with ORA-N: <text> (error on the statement).
//   - oci_error(link or statement) gives that handle's last error, and
//     oci_error() without argument the last failed connect's, as an array with
//     code, message, offset and sqltext, or false when there is none.

#include "php.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int le_connection = -1;
int le_pconnection = -1;
int le_statement = -1;

struct StubError {
    zend_long code = 0;
    std::string message;
    zend_long offset = 0;
    std::string sqltext;

    void clear() { *this = StubError(); }
};

struct StubConnection {
    std::string user;
    std::string password;
    std::string connectString;
    bool dropping = false;
    bool shared = false;  // may be handed out again by oci_connect / oci_pconnect
    StubError error;
};

struct StubStatement {
    zend_resource* connection = nullptr;  // holds a reference
    std::string sql;
    StubError error;
};

// The last failed connect of this request (oci_error() without argument).
StubError lastConnectError;

void freeConnection(zend_resource* res)
{
    delete static_cast<StubConnection*>(res->ptr);
    res->ptr = nullptr;
}

void freeStatement(zend_resource* res)
{
    auto* statement = static_cast<StubStatement*>(res->ptr);
    if (statement) {
        if (statement->connection)
            zend_list_delete(statement->connection);
        delete statement;
    }
    res->ptr = nullptr;
}

void setError(StubError& error, zend_long code, const std::string& message, const std::string& sql = "",
              zend_long offset = 0)
{
    error.code = code;
    error.message = message;
    error.sqltext = sql;
    error.offset = offset;
    php_error_docref(nullptr, E_WARNING, "%s", message.c_str());
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

StubConnection* connectionOf(zval* link)
{
    zend_resource* res = Z_RES_P(link);
    if (res->type == le_connection || res->type == le_pconnection)
        return static_cast<StubConnection*>(res->ptr);
    zend_type_error("%s(): supplied resource is not a valid oci8 connection resource",
                    get_active_function_name());
    return nullptr;
}

void doConnect(INTERNAL_FUNCTION_PARAMETERS, bool persistent, bool fresh)
{
    char* user = nullptr;
    size_t userLength = 0;
    char* password = nullptr;
    size_t passwordLength = 0;
    char* connectString = nullptr;
    size_t connectStringLength = 0;
    char* charset = nullptr;
    size_t charsetLength = 0;
    zend_long sessionMode = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "ss|s!sl", &user, &userLength, &password, &passwordLength,
                              &connectString, &connectStringLength, &charset, &charsetLength, &sessionMode)
        == FAILURE)
        RETURN_THROWS();
    std::string where = connectString ? std::string(connectString, connectStringLength) : std::string();
    lastConnectError.clear();
    if (std::string(password, passwordLength) == "wrong") {
        setError(lastConnectError, 1017, "ORA-01017: invalid username/password; logon denied");
        RETURN_FALSE;
    }
    if (where.find("nohost") != std::string::npos) {
        setError(lastConnectError, 12154, "ORA-12154: TNS:could not resolve the connect identifier specified");
        RETURN_FALSE;
    }
    const int type = persistent ? le_pconnection : le_connection;
    if (!fresh) {
        zval* entry;
        ZEND_HASH_FOREACH_VAL(&EG(regular_list), entry) {
            zend_resource* res = Z_RES_P(entry);
            auto* known = static_cast<StubConnection*>(res->ptr);
            if (res->type == type && known && known->shared && known->user == std::string(user, userLength)
                && known->password == std::string(password, passwordLength) && known->connectString == where) {
                GC_ADDREF(res);
                RETURN_RES(res);
            }
        } ZEND_HASH_FOREACH_END();
    }
    auto* connection = new StubConnection;
    connection->user.assign(user, userLength);
    connection->password.assign(password, passwordLength);
    connection->connectString = where;
    connection->dropping = where.find("dropping") != std::string::npos;
    connection->shared = !fresh;
    RETURN_RES(zend_register_resource(connection, type));
}

PHP_FUNCTION(oci_connect)
{
    doConnect(INTERNAL_FUNCTION_PARAM_PASSTHRU, false, false);
}

PHP_FUNCTION(oci_new_connect)
{
    doConnect(INTERNAL_FUNCTION_PARAM_PASSTHRU, false, true);
}

PHP_FUNCTION(oci_pconnect)
{
    doConnect(INTERNAL_FUNCTION_PARAM_PASSTHRU, true, false);
}

PHP_FUNCTION(oci_parse)
{
    zval* link = nullptr;
    char* sql = nullptr;
    size_t sqlLength = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "rs", &link, &sql, &sqlLength) == FAILURE)
        RETURN_THROWS();
    StubConnection* connection = connectionOf(link);
    if (!connection)
        RETURN_THROWS();
    connection->error.clear();
    if (sqlLength == 0) {
        setError(connection->error, 24333, "ORA-24333: zero iteration count");
        RETURN_FALSE;
    }
    auto* statement = new StubStatement;
    statement->connection = Z_RES_P(link);
    GC_ADDREF(statement->connection);
    statement->sql.assign(sql, sqlLength);
    RETURN_RES(zend_register_resource(statement, le_statement));
}

PHP_FUNCTION(oci_execute)
{
    zval* value = nullptr;
    zend_long mode = 32;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "r|l", &value, &mode) == FAILURE)
        RETURN_THROWS();
    auto* statement = static_cast<StubStatement*>(
        zend_fetch_resource(Z_RES_P(value), "oci8 statement", le_statement));
    if (!statement)
        RETURN_THROWS();
    statement->error.clear();
    auto* connection = static_cast<StubConnection*>(statement->connection->ptr);
    const std::string sql = lower(statement->sql);
    if (!connection || connection->dropping) {
        setError(statement->error, 3113, "ORA-03113: end-of-file on communication channel", statement->sql);
        RETURN_FALSE;
    }
    std::size_t at = sql.find("sleep(");
    if (at != std::string::npos) {
        double seconds = strtod(sql.c_str() + at + 6, nullptr);
        if (seconds > 0)
            usleep(static_cast<useconds_t>((seconds > 10 ? 10 : seconds) * 1e6));
    }
    at = sql.find("no_such_table");
    if (at != std::string::npos) {
        setError(statement->error, 942, "ORA-00942: table or view does not exist", statement->sql,
                 static_cast<zend_long>(at));
        RETURN_FALSE;
    }
    at = sql.find("raise_application_error(-");
    if (at != std::string::npos) {
        zend_long code = strtol(sql.c_str() + at + 25, nullptr, 10);
        std::size_t open = statement->sql.find('\'', at);
        std::size_t close = open == std::string::npos ? open : statement->sql.find('\'', open + 1);
        std::string text = close == std::string::npos ? "" : statement->sql.substr(open + 1, close - open - 1);
        char number[32];
        snprintf(number, sizeof number, "ORA-%05ld: ", static_cast<long>(code));
        setError(statement->error, code, number + text, statement->sql, static_cast<zend_long>(at));
        RETURN_FALSE;
    }
    RETURN_TRUE;
}

void endTransaction(INTERNAL_FUNCTION_PARAMETERS)
{
    zval* link = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "r", &link) == FAILURE)
        RETURN_THROWS();
    StubConnection* connection = connectionOf(link);
    if (!connection)
        RETURN_THROWS();
    connection->error.clear();
    if (connection->dropping) {
        setError(connection->error, 3113, "ORA-03113: end-of-file on communication channel");
        RETURN_FALSE;
    }
    RETURN_TRUE;
}

PHP_FUNCTION(oci_commit)
{
    endTransaction(INTERNAL_FUNCTION_PARAM_PASSTHRU);
}

PHP_FUNCTION(oci_rollback)
{
    endTransaction(INTERNAL_FUNCTION_PARAM_PASSTHRU);
}

PHP_FUNCTION(oci_error)
{
    zval* value = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "|r!", &value) == FAILURE)
        RETURN_THROWS();
    const StubError* error = &lastConnectError;
    if (value) {
        zend_resource* res = Z_RES_P(value);
        if (res->type == le_statement && res->ptr)
            error = &static_cast<StubStatement*>(res->ptr)->error;
        else if ((res->type == le_connection || res->type == le_pconnection) && res->ptr)
            error = &static_cast<StubConnection*>(res->ptr)->error;
        else
            RETURN_FALSE;
    }
    if (error->code == 0)
        RETURN_FALSE;
    array_init(return_value);
    add_assoc_long(return_value, "code", error->code);
    add_assoc_stringl(return_value, "message", error->message.data(), error->message.size());
    add_assoc_long(return_value, "offset", error->offset);
    add_assoc_stringl(return_value, "sqltext", error->sqltext.data(), error->sqltext.size());
}

PHP_FUNCTION(oci_free_statement)
{
    zval* value = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "r", &value) == FAILURE)
        RETURN_THROWS();
    if (!zend_fetch_resource(Z_RES_P(value), "oci8 statement", le_statement))
        RETURN_THROWS();
    zend_list_close(Z_RES_P(value));
    RETURN_TRUE;
}

PHP_FUNCTION(oci_close)
{
    zval* link = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "r", &link) == FAILURE)
        RETURN_THROWS();
    if (!connectionOf(link))
        RETURN_THROWS();
    if (Z_RES_P(link)->type == le_connection)
        static_cast<StubConnection*>(Z_RES_P(link)->ptr)->shared = false;
    RETURN_TRUE;
}

ZEND_BEGIN_ARG_INFO_EX(arginfo_connect, 0, 0, 2)
    ZEND_ARG_INFO(0, username)
    ZEND_ARG_INFO(0, password)
    ZEND_ARG_INFO(0, connection_string)
    ZEND_ARG_INFO(0, encoding)
    ZEND_ARG_INFO(0, session_mode)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_parse, 0, 0, 2)
    ZEND_ARG_INFO(0, connection)
    ZEND_ARG_INFO(0, sql)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_execute, 0, 0, 1)
    ZEND_ARG_INFO(0, statement)
    ZEND_ARG_INFO(0, mode)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_one_handle, 0, 0, 1)
    ZEND_ARG_INFO(0, handle)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_error, 0, 0, 0)
    ZEND_ARG_INFO(0, connection_or_statement)
ZEND_END_ARG_INFO()

const zend_function_entry stub_functions[] = {
    PHP_FE(oci_connect, arginfo_connect)
    PHP_FE(oci_new_connect, arginfo_connect)
    PHP_FE(oci_pconnect, arginfo_connect)
    PHP_FE(oci_parse, arginfo_parse)
    PHP_FE(oci_execute, arginfo_execute)
    PHP_FE(oci_commit, arginfo_one_handle)
    PHP_FE(oci_rollback, arginfo_one_handle)
    PHP_FE(oci_error, arginfo_error)
    PHP_FE(oci_free_statement, arginfo_one_handle)
    PHP_FE(oci_close, arginfo_one_handle)
    PHP_FE_END
};

PHP_MINIT_FUNCTION(oci8)
{
    (void)type;
    le_connection = zend_register_list_destructors_ex(freeConnection, nullptr, "oci8 connection", module_number);
    le_pconnection = zend_register_list_destructors_ex(freeConnection, nullptr, "oci8 persistent connection",
                                                       module_number);
    le_statement = zend_register_list_destructors_ex(freeStatement, nullptr, "oci8 statement", module_number);
    REGISTER_LONG_CONSTANT("OCI_DEFAULT", 0, CONST_CS | CONST_PERSISTENT);
    REGISTER_LONG_CONSTANT("OCI_NO_AUTO_COMMIT", 0, CONST_CS | CONST_PERSISTENT);
    REGISTER_LONG_CONSTANT("OCI_COMMIT_ON_SUCCESS", 32, CONST_CS | CONST_PERSISTENT);
    return SUCCESS;
}

PHP_RINIT_FUNCTION(oci8)
{
    (void)type;
    (void)module_number;
    lastConnectError.clear();
    return SUCCESS;
}

zend_module_entry oci8_module_entry = {
    STANDARD_MODULE_HEADER,
    "oci8",
    stub_functions,
    PHP_MINIT(oci8),
    nullptr,
    PHP_RINIT(oci8),
    nullptr,
    nullptr,
    "3.3.0-stub",
    STANDARD_MODULE_PROPERTIES
};

} // namespace

extern "C" ZEND_DLEXPORT zend_module_entry* get_module();

extern "C" ZEND_DLEXPORT zend_module_entry* get_module()
{
    return &oci8_module_entry;
}
