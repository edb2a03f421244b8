#pragma once

#include "extension/crossvm/CrossVmHandlerBase.h"

struct _php_stream_context;

// Outgoing calls made with file_get_contents on "http://" and "https://"
// URLs. The correlation line is added to the HTTP header option of the
// context the call uses, for this call only: the script's own context gets a
// copy of its options with the line added while the call runs, and a call
// without a context runs with a copy of the default context's options. Both
// are put back as they were afterwards; the engine's implementation runs
// once, with the script's own arguments.
class FileGetContentsCrossVMHandler : public CrossVmHandlerBase {
public:
    FileGetContentsCrossVMHandler();
    ~FileGetContentsCrossVMHandler() override;

    static void on_file_get_contents(_zend_execute_data* executeData, _zval_struct* returnValue);

    // What was swapped for the call, so that it can be put back; plain data,
    // so that it may live across the engine's handler.
    struct Swap {
        bool active = false;                        // the call is reported
        std::size_t slot = 0;                       // its pending call
        _php_stream_context* scriptContext = nullptr;  // options swapped in the script's context
        _zval_struct* savedOptions = nullptr;       // its own options, put back afterwards
        bool defaultSwapped = false;                // the default context stood aside
        _php_stream_context* savedDefault = nullptr;
        _php_stream_context* callContext = nullptr;  // made for this call
    };

private:
    void prepare(_zend_execute_data* executeData, Swap& swap);
    static void putBack(Swap& swap);
};
