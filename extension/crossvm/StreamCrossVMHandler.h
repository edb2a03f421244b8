#pragma once

#include <cstddef>

#include "extension/crossvm/CrossVmHandlerBase.h"

struct _zend_string;

// HTTP requests written by hand to sockets opened with stream_socket_client
// ("tcp://" or no scheme). When the script writes a block whose first line is
// a GET or POST request line (HTTP/1.0 or 1.1, ended by CR LF), the
// correlation line is written right after that line. The write honours the
// script's length argument, and fwrite answers the number of the script's
// own bytes written, so scripts that loop on partial writes go on where they
// should. The engine's fwrite runs once, with the changed data in place of
// the script's for the duration of the call.
class StreamCrossVMHandler : public CrossVmHandlerBase {
public:
    StreamCrossVMHandler();
    ~StreamCrossVMHandler() override;

    static void on_stream_socket_client(_zend_execute_data* executeData, _zval_struct* returnValue);
    static void on_fwrite(_zend_execute_data* executeData, _zval_struct* returnValue);

    // The write as prepared; plain data, so that it may live across the
    // engine's handler.
    struct Plan {
        bool active = false;
        std::size_t slot = 0;
        _zend_string* changed = nullptr;   // the data written instead of the script's
        std::size_t prefix = 0;            // the script's bytes before the correlation line
        std::size_t header = 0;            // bytes of the correlation line
        bool lengthPatched = false;
        long long scriptLength = 0;        // the script's length argument
    };

private:
    void afterSocketClient(_zend_execute_data* executeData, _zval_struct* returnValue);
    void plan(_zend_execute_data* executeData, Plan& plan);
};
