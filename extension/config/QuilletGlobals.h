#pragma once

#include <cstdint>
#include <string>

// The extension's one configuration record: every "qx." directive, read once at
// module start-up, plus two flags that are not directives. The values below are
// the ones the record holds from library load until the directives are read.
// Code that needs no engine takes this record by reference, so it can be tested
// with any values.
struct QuilletGlobals {
    bool collectEnabled = false;        // the current request is collected
    bool cliDisabled = false;           // "cli" server interface: nothing is hooked
    std::wstring log_file;              // qx.log_file, "$(INSTALL_DIR)" expanded
    int32_t log_level = 0;              // qx.log_level
    int32_t events_channel_port = 2626; // qx.events_channel_port
    std::wstring events_channel_ip;     // qx.events_channel_ip
    std::wstring install_dir;           // qx.install_dir
    int32_t slow_function_threshold = 50;  // milliseconds
    int32_t slow_sql_threshold = 50;       // milliseconds
    uint64_t max_exceptions = 100;         // at most 1000
    uint64_t exception_max_frames = 100;   // at most 100
    bool use_event_channel_null = false;
    uint64_t max_functions_depth = 50;     // at most 100
    uint64_t max_functions = 1000;         // at most 5000
    int32_t sql_mode = 2;
    int32_t max_uris = 1000;               // at most 1000
    uint64_t exception_max_message_length = 100;  // at most 1000
    bool enable_crossvm = true;
    int32_t crossvm_sampling = 45;         // seconds; negative becomes 45
};
