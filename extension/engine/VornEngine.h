#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct _zval_struct;
typedef struct _zval_struct zval;
struct _zend_string;
typedef struct _zend_string zend_string;

// Identity of PHP values across calls. Objects get a per-process identity the
// first time one is asked for; it is kept in a side table keyed weakly by the
// object, so the object itself is never touched (no property is added, no
// magic method runs) and the entry goes away when the object is freed.
// Identities come from one process-wide counter (first 8765) that is never
// reset, so an identity is never reused within the process.
namespace vorn {

// The object's identity, assigning the next one when it has none; -1 for a
// value that is not an object (nothing is stored then). References are
// followed.
int64_t getObjectId(zval* value);

// The identity stored for the object, or `defaultValue` when the value is not
// an object or has none yet.
int64_t findObjectId(zval* value, int64_t defaultValue);

// Assigns the next identity to the object and returns it (-1 for a value that
// is not an object, and the counter does not move).
int64_t assignObjectId(zval* value);

// The handle number of a resource; -1 for a null pointer or any other value.
int64_t getResourceId(zval* value);

// The side table lives in the request's memory. Request activation forgets a
// table left from an earlier request; request deactivation unregisters it from
// the objects still alive and releases it.
void objectIdsRequestStart();
void objectIdsRequestEnd();

// A name the engine keeps (a class's, a function's) as PHP prints it: up to
// its first NUL. An anonymous class's name goes on after a NUL with the file
// and line that declared it ("class@anonymous", NUL, "/site/a.php:21$0");
// what PHP shows of it (var_dump, traces, messages) stops at the NUL, and so
// does every text the probe sends or logs. No name: the empty text.
std::size_t printedLength(const zend_string* name);
std::string printedName(const zend_string* name);

} // namespace vorn
