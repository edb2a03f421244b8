#pragma once

#include "php.h"

// A listed internal function as the wrapping builds it: the engine's record
// with the replacement handler, and the engine's own handler.
//
// The replacement is installed into the function's live record, and the
// engine's handler is kept in the record's reserved word of the extension's
// slot. The engine copies internal records whole (a user class that extends
// an internal class gets copies of the inherited methods), so every copy
// carries both the replacement and the handler it must call.
struct vorn_wrapped_function {
    zend_internal_function function;  // copy of the engine's record; `handler` is the replacement
    zif_handler savedHandler;         // the engine's own handler

    // Builds the record from a live internal function.
    static vorn_wrapped_function from(const zend_function* live);

    // Puts the record's handler into the live function and keeps the saved
    // handler where copies of the record keep it.
    static void install(zend_function* live, const vorn_wrapped_function& record, int resourceId);

    // Module shutdown: every record wrapped at start-up that still has its
    // replacement gets the engine's handler back (its module, and the
    // engine, may outlive this library: Apache restarts the module in the
    // same process).
    static void uninstallAll(int resourceId);

    // The engine's own handler of a wrapped function, or of a copy of one; null
    // when the function was not wrapped.
    static zif_handler savedHandlerOf(const zend_function* function, int resourceId);

    // A function of a function table by name, compared caselessly. (The
    // engine's own helper for this is declared without C linkage in PHP
    // 8.2's headers and cannot be linked from C++.)
    static zend_function* findMethod(const HashTable* table, const zend_string* name);

    // True while the engine runs a handler to fold a call into a constant as
    // it compiles code, not for a call of the script. OPcache's optimiser
    // evaluates some built-ins with constant arguments (str_contains,
    // in_array...: Zend/Optimizer/sccp.c, ct_eval_func_call) in a frame of
    // its own, and counts the warnings of that run in this field, which is 0
    // at every other time. In PHP 8.2 it is the only code that calls an
    // internal function's handler while compiling: the compiler's own
    // special cases (zend_compile.c) and the optimiser's other folds
    // (function_exists, constant, dirname... zend_optimizer.c) compute
    // their results without calling it, and the JIT calls none.
    static bool evaluatedByCompiler() { return EG(capture_warnings_during_sccp) != 0; }
};
