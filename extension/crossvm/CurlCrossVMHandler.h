#pragma once

#include <cstdint>
#include <memory>

#include "extension/crossvm/CrossVmHandlerBase.h"

// Outgoing calls made with curl. For every handle the script makes while the
// request is collected it keeps the URL and the header lines the script set;
// at curl_exec it sets the handle's header option to those lines with the
// correlation line in place, runs the transfer and reports it. Handles are
// objects, followed by their identity (vorn::getObjectId): a record never
// keeps a handle alive.
class CurlCrossVMHandler : public CrossVmHandlerBase {
public:
    static constexpr uint64_t OPTION_HTTPHEADER = 10023;
    static constexpr uint64_t OPTION_URL = 10002;

    CurlCrossVMHandler();
    ~CurlCrossVMHandler() override;

    static void on_curl_init(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_exec(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_setopt(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_setopt_array(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_close(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_reset(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_curl_copy_handle(_zend_execute_data* executeData, _zval_struct* returnValue);

    // Applies one option the engine accepted to the handle's record.
    static void doHandleCurlOption(const std::shared_ptr<CrossVmCallInfo>& record, uint64_t option,
                                   _zval_struct* value);

private:
    static CurlCrossVMHandler* instance();
    // Record of the handle in argument 0, or none.
    std::shared_ptr<CrossVmCallInfo> recordOf(_zend_execute_data* executeData);

    void afterInit(_zend_execute_data* executeData, _zval_struct* returnValue);
    void afterSetopt(_zend_execute_data* executeData, _zval_struct* returnValue);
    void afterSetoptArray(_zend_execute_data* executeData, _zval_struct* returnValue);
    void afterClose(_zend_execute_data* executeData);
    void afterReset(_zend_execute_data* executeData);
    void afterCopy(_zend_execute_data* executeData, _zval_struct* returnValue);
    // Before the transfer: the token, and the header option set. The slot of
    // the pending call, or npos when the call is not reported.
    std::size_t prepareExec(_zend_execute_data* executeData);
    void finishExec(_zend_execute_data* executeData, _zval_struct* returnValue, std::size_t slot,
                    const timeval& start, const timeval& end);
};
