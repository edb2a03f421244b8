// A test-only PHP module that exposes the engine helpers to PHP scripts, so
// their behaviour can be checked inside the real engine:
//   qx_test_object_id($v)   -> vorn::getObjectId
//   qx_test_known_id($v)    -> vorn::findObjectId($v, -1)
//   qx_test_resource_id($v) -> vorn::getResourceId
//   qx_test_resource_id()   -> vorn::getResourceId(nullptr)
// Request activation and deactivation bracket the identity table as the
// extension's own request callbacks do.

#include "php.h"

#include "extension/engine/VornEngine.h"

namespace {

ZEND_BEGIN_ARG_INFO_EX(arginfo_qx_test_value, 0, 0, 1)
    ZEND_ARG_INFO(0, value)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qx_test_optional_value, 0, 0, 0)
    ZEND_ARG_INFO(0, value)
ZEND_END_ARG_INFO()

PHP_FUNCTION(qx_test_object_id)
{
    zval* value = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "z", &value) == FAILURE)
        RETURN_THROWS();
    RETURN_LONG(vorn::getObjectId(value));
}

PHP_FUNCTION(qx_test_known_id)
{
    zval* value = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "z", &value) == FAILURE)
        RETURN_THROWS();
    RETURN_LONG(vorn::findObjectId(value, -1));
}

PHP_FUNCTION(qx_test_resource_id)
{
    zval* value = nullptr;
    if (zend_parse_parameters(ZEND_NUM_ARGS(), "|z", &value) == FAILURE)
        RETURN_THROWS();
    RETURN_LONG(vorn::getResourceId(value));
}

const zend_function_entry test_functions[] = {
    PHP_FE(qx_test_object_id, arginfo_qx_test_value)
    PHP_FE(qx_test_known_id, arginfo_qx_test_value)
    PHP_FE(qx_test_resource_id, arginfo_qx_test_optional_value)
    PHP_FE_END
};

PHP_RINIT_FUNCTION(qx_engine_helpers_test)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestStart();
    return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(qx_engine_helpers_test)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestEnd();
    return SUCCESS;
}

zend_module_entry test_module_entry = {
    STANDARD_MODULE_HEADER,
    "qx_engine_helpers_test",
    test_functions,
    nullptr,
    nullptr,
    PHP_RINIT(qx_engine_helpers_test),
    PHP_RSHUTDOWN(qx_engine_helpers_test),
    nullptr,
    "1.0",
    STANDARD_MODULE_PROPERTIES
};

} // namespace

// The engine looks this up by name when it loads the module.
extern "C" ZEND_DLEXPORT zend_module_entry* get_module(void);

extern "C" ZEND_DLEXPORT zend_module_entry* get_module(void)
{
    return &test_module_entry;
}
