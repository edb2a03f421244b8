#pragma once

// The definition of InternalFunctionHandlerBase::scriptCalls, which reads the
// engine's globals: included by the code that registers replacements.

#include "php.h"

#include "extension/engine/vorn_wrapped_function.h"
#include "extension/instrumentation/InternalFunctionHandlerBase.h"

template <InternalFunctionHandlerBase::Handler replacement>
void InternalFunctionHandlerBase::scriptCalls(zend_execute_data* executeData, zval* returnValue)
{
    // No call of the script: the probe neither reports it nor logs it, and
    // leaves the handler's frame, result and warnings to the engine.
    if (UNEXPECTED(vorn_wrapped_function::evaluatedByCompiler())) {
        callSavedHandler(executeData, returnValue);
        return;
    }
    replacement(executeData, returnValue);
}
