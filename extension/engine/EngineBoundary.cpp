#include "extension/engine/EngineBoundary.h"

#include "php.h"

namespace vorn {

void logBoundaryFailure(VornLog& log, const char* where, const char* what) noexcept
{
    try {
        log.logError(where, what != nullptr ? what : "unknown error");
    } catch (...) {
    }
}

ScopedExceptionState::ScopedExceptionState() noexcept
    : pending(EG(exception)),
      previous(EG(prev_exception)),
      oplineBeforeException(EG(opline_before_exception)),
      current(EG(current_execute_data)),
      currentOpline(current ? current->opline : nullptr)
{
    EG(exception) = nullptr;
    EG(prev_exception) = nullptr;
}

ScopedExceptionState::~ScopedExceptionState()
{
    restore();
}

namespace {

void releaseIfSet(zend_object*& slot)
{
    if (slot != nullptr) {
        zend_object* thrown = slot;
        slot = nullptr;
        OBJ_RELEASE(thrown);
    }
}

} // namespace

void ScopedExceptionState::restore() noexcept
{
    if (restored)
        return;
    restored = true;
    releaseIfSet(EG(exception));
    releaseIfSet(EG(prev_exception));
    EG(current_execute_data) = current;
    if (current)
        current->opline = currentOpline;
    EG(opline_before_exception) = oplineBeforeException;
    EG(prev_exception) = previous;
    EG(exception) = pending;
}

} // namespace vorn
