// A test-only PHP module exposing the shared operations of the database
// handlers inside the real engine (driven by sql_services_test.php):
//   qx_sql_props(object, name)   -> [readObjectStringProperty (default "dflt"),
//                                    readObjectIntProperty (default -7)]
//   qx_sql_call(name)            -> [callUserFunction's answer, its text]
//   qx_sql_backtrace()           -> getBacktrace of this call
//   qx_sql_registry(a, b)        -> registry and hook-table checks, as a list of
//                                   the checks that failed

#include "php.h"

#include <cstring>
#include <string>

#include "common/VornUtils.h"
#include "extension/engine/VornEngine.h"
#include "extension/engine/vorn_wrapped_function.h"
#include "extension/instrumentation/Manager.h"
#include "extension/instrumentation/ScriptCalls.h"
#include "extension/sql/ZPDOHandler.h"

namespace {

ZEND_BEGIN_ARG_INFO_EX(arginfo_qx_sql_any, 0, 0, 0)
ZEND_END_ARG_INFO()

PHP_FUNCTION(qx_sql_props)
{
    zval* value = nullptr;
    char* name = nullptr;
    size_t nameLength = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "zs", &value, &name, &nameLength) == FAILURE)
        RETURN_THROWS();
    const std::string text = ZSqlHandlerBase::readObjectStringProperty(value, name, "dflt");
    array_init(return_value);
    add_next_index_stringl(return_value, text.data(), text.size());
    add_next_index_long(return_value, ZSqlHandlerBase::readObjectIntProperty(value, name, -7));
}

PHP_FUNCTION(qx_sql_call)
{
    char* name = nullptr;
    size_t nameLength = 0;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "s", &name, &nameLength) == FAILURE)
        RETURN_THROWS();
    std::wstring result = L"left over";
    const bool called = ZSqlHandlerBase::callUserFunction(vorn::toUtf(std::string(name, nameLength)), result);
    const std::string text = vorn::fromUtf(result);
    array_init(return_value);
    add_next_index_bool(return_value, called);
    add_next_index_stringl(return_value, text.data(), text.size());
}

PHP_FUNCTION(qx_sql_backtrace)
{
    ZEND_PARSE_PARAMETERS_NONE();
    const std::string text = ZSqlHandlerBase::getBacktrace(execute_data);
    RETURN_STRINGL(text.data(), text.size());
}

void expect(zval* failures, bool ok, const char* what)
{
    if (!ok)
        add_next_index_string(failures, what);
}

PHP_FUNCTION(qx_sql_registry)
{
    zval* first = nullptr;
    zval* second = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "oo", &first, &second) == FAILURE)
        RETURN_THROWS();
    array_init(return_value);
    ZPDOHandler handler;
    expect(return_value, !handler.getConnection(first), "a new object has no connection");
    zval number;
    ZVAL_LONG(&number, 5);
    expect(return_value, !handler.getConnection(&number), "an integer has no connection");
    auto one = std::make_shared<ZDbConnectionInfo>("mysql:host=a");
    auto two = std::make_shared<ZDbConnectionInfo>("mysql:host=b");
    one->id = two->id = static_cast<uint64_t>(vorn::getObjectId(first));
    handler.insertConnection(one);
    handler.insertConnection(two);
    expect(return_value, handler.getConnection(first) == two, "the newest registration wins");
    expect(return_value, handler.connections.size() == 1, "one entry per id");
    expect(return_value, !handler.getConnection(second), "another object has none");
    auto statement = std::make_shared<ZDbPreparedStatement>();
    statement->id = static_cast<uint64_t>(vorn::getObjectId(second));
    statement->connection = two;
    handler.insertStatement(statement);
    expect(return_value, handler.getStatement(second) == statement, "statement found by its object");
    handler.cleanup();
    expect(return_value, handler.connections.empty() && handler.statements.empty() && statement.use_count() == 1,
           "cleanup empties both registries");

    vorn_wrapped_function record;
    std::memset(&record, 0, sizeof(record));
    expect(return_value, !handler.hook(L"PDO::query", record) && record.function.handler == nullptr,
           "keys match exactly");
    // Every replacement is installed behind the test of calls the compiler
    // evaluates, never bare.
    using Base = InternalFunctionHandlerBase;
    expect(return_value,
           handler.hook(L"pdo::query", record)
               && record.function.handler == Base::scriptCalls<&ZPDOHandler::onPDOQuery>,
           "a listed key is hooked");
    expect(return_value, handler.isHooked(Base::scriptCalls<&ZPDOHandler::onPDOStatementExecute>),
           "a replacement is recognised");
    expect(return_value, !handler.isHooked(&ZPDOHandler::onPDOStatementExecute), "a bare handler is not installed");
    expect(return_value, !handler.isHooked(zif_qx_sql_registry), "another handler is not");
    expect(return_value, Manager::get().sqlManager.isHooked(Base::scriptCalls<&ZPDOHandler::onPDORollback>),
           "the manager recognises the PDO handler's replacements");
}

const zend_function_entry test_functions[] = {
    PHP_FE(qx_sql_props, arginfo_qx_sql_any)
    PHP_FE(qx_sql_call, arginfo_qx_sql_any)
    PHP_FE(qx_sql_backtrace, arginfo_qx_sql_any)
    PHP_FE(qx_sql_registry, arginfo_qx_sql_any)
    PHP_FE_END
};

zend_module_entry test_module_entry = {
    STANDARD_MODULE_HEADER,
    "qx_sql_services_test",
    test_functions,
    nullptr, nullptr, nullptr, nullptr, nullptr,
    "1.0",
    STANDARD_MODULE_PROPERTIES
};

} // namespace

extern "C" ZEND_DLEXPORT zend_module_entry* get_module();

extern "C" ZEND_DLEXPORT zend_module_entry* get_module()
{
    return &test_module_entry;
}
