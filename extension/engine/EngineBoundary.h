#pragma once

#include <exception>

#include "common/VornLog.h"

struct _zend_object;
struct _zend_execute_data;
struct _zend_op;

namespace vorn {

// Logs a failure of the probe's own work at an engine entry point. Never throws:
// a log that cannot be written is given up on.
void logBoundaryFailure(VornLog& log, const char* where, const char* what) noexcept;

// Runs the probe's work at an engine entry point (a hook, a callback, a
// replacement handler around its saved engine call). Whatever the work throws
// is logged with `where` and stops there: nothing reaches the engine. The
// answer is false when the work failed.
template <class Work>
bool guardEntry(VornLog& log, const char* where, Work&& work) noexcept
{
    try {
        work();
        return true;
    } catch (const std::exception& e) {
        logBoundaryFailure(log, where, e.what());
    } catch (...) {
        logBoundaryFailure(log, where, "unknown error");
    }
    return false;
}

// The same guard for a site that reports a failure its own way (module
// start-up writes to the standard error before the log is open; some sites
// stay silent): `onFailure` gets the failure's text, or null when the thrown
// object carries none. Whatever `onFailure` itself throws is dropped.
template <class Work, class OnFailure>
bool guardEntry(Work&& work, OnFailure&& onFailure) noexcept
{
    try {
        work();
        return true;
    } catch (const std::exception& e) {
        try {
            onFailure(e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            onFailure(nullptr);
        } catch (...) {
        }
    }
    return false;
}

// For a site whose failure is of no consequence and not worth a log line.
inline void ignoreFailure(const char*) noexcept {}

// Sets the script's pending exception aside for a call the probe makes into
// PHP, and puts it back exactly as it was when it goes out of scope (or at
// `restore()`). Anything the probe's call throws is the probe's, not the
// script's: it is released, never left pending. The executor's current frame
// and its position are put back too, so the script resumes where it was.
//
// Keep the call into PHP inside zend_try within the keeper's scope, so that a
// bail-out never jumps over the keeper.
class ScopedExceptionState {
public:
    ScopedExceptionState() noexcept;
    ~ScopedExceptionState();
    ScopedExceptionState(const ScopedExceptionState&) = delete;
    ScopedExceptionState& operator=(const ScopedExceptionState&) = delete;

    // Drops what the probe's call left pending and puts the script's state
    // back; later calls do nothing.
    void restore() noexcept;

private:
    _zend_object* pending;
    _zend_object* previous;
    const _zend_op* oplineBeforeException;
    _zend_execute_data* current;
    const _zend_op* currentOpline;
    bool restored = false;
};

} // namespace vorn
