#pragma once

#include <cerrno>
#include <exception>
#include <type_traits>

#include "common/VornLog.h"

struct _zend_object;
struct _zend_execute_data;
struct _zend_op;

namespace vorn {

// Logs a failure of the probe's own work at an engine entry point. Never throws:
// a log that cannot be written is given up on.
void logBoundaryFailure(VornLog& log, const char* where, const char* what) noexcept;

// errno as the code the engine was running left it when it called the probe.
// Some of the engine's warnings print errno without setting it first (the
// plain wrapper refusing to include a folder), so the probe's own system
// calls (a connect, a lock, a log line) must leave no trace there: every entry
// point takes errno on entry and puts it back before it returns to the engine.
// A replacement handler puts it back before it runs the engine's handler,
// then takes what that handler left and puts that back after its own work.
//
// Trivially destructible, so it may be held across a call of the engine that
// can bail out: it is put back only by restore(), never by a destructor.
class ScriptErrno {
public:
    ScriptErrno() noexcept : value(errno) {}
    void restore() const noexcept { errno = value; }

private:
    int value;
};
static_assert(std::is_trivially_destructible<ScriptErrno>::value, "held across the engine's long jumps");

// Runs the probe's work at an engine entry point (a hook, a callback, a
// replacement handler around its saved engine call), for a site that reports
// a failure its own way (module start-up writes to the standard error before
// the log is open; some sites stay silent). Whatever the work throws stops
// here: nothing reaches the engine. `onFailure` gets the failure's text, or
// null when the thrown object carries none; whatever it throws itself is
// dropped. errno is left as it was before the work (see ScriptErrno). The
// answer is false when the work failed.
template <class Work, class OnFailure>
bool guardEntry(Work&& work, OnFailure&& onFailure) noexcept
{
    const ScriptErrno scriptErrno;
    bool done = false;
    try {
        work();
        done = true;
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
    scriptErrno.restore();
    return done;
}

// The same guard, a failure logged with `where`.
template <class Work>
bool guardEntry(VornLog& log, const char* where, Work&& work) noexcept
{
    return guardEntry(work, [&log, where](const char* what) { logBoundaryFailure(log, where, what); });
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
