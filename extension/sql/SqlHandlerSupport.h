#pragma once

#include <sys/time.h>

#include <string>

#include "extension/model/ZPHPException.h"

struct _zend_execute_data;
struct _zval_struct;

// Small pieces shared by the mysqli and OCI8 handlers.
namespace sqlsupport {

// The current request is collected (its events are kept).
bool collectionOn();

// The engine's call failed: it returned false or left an exception pending.
bool callFailed(_zval_struct* returnValue);

// qx.exception_max_message_length as ZPHPException::setErrorMessage takes it.
int maxMessageLength();

// With an exception pending, the error becomes that exception's: its class as
// the kind, and its message when the error has none yet. Nothing is called:
// the message is the exception's own property.
void takePendingException(ZPHPException& error);

// A text that callUserFunction widened byte by byte, as its original bytes.
std::string latin1Bytes(const std::wstring& text);

// A failed call as a plain method call with flags 33, within the request's
// limits (it counts as a captured call).
void reportFailedCall(_zend_execute_data* executeData, const timeval& start, const timeval& end,
                      const ZPHPException& error);

// "Maximum SQL limit reached - this SQL will not be reported", once per call
// that the reduction refused.
void logSqlRefused();

} // namespace sqlsupport
