#include "extension/engine/VornEngine.h"

#include <cstring>
#include <vector>

#include "php.h"
#include "zend_weakrefs.h"

namespace {

// Never reset: identities stay unique for the life of the process.
int64_t objectIdCounter = 8764;

// Identity by object, request-scoped (emalloc'd). Entries are registered as
// weak references, so the engine removes an entry when its object is freed
// and a later object at the same address starts without an identity.
HashTable* objectIds = nullptr;

zval* deref(zval* value)
{
    if (value != nullptr && Z_TYPE_P(value) == IS_REFERENCE)
        value = Z_REFVAL_P(value);
    return value;
}

} // namespace

namespace vorn {

int64_t getObjectId(zval* value)
{
    int64_t id = findObjectId(value, -1);
    if (id == -1)
        id = assignObjectId(value);
    return id;
}

int64_t findObjectId(zval* value, int64_t defaultValue)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_OBJECT || objectIds == nullptr)
        return defaultValue;
    zval* found = zend_hash_index_find(objectIds, zend_object_to_weakref_key(Z_OBJ_P(value)));
    if (found == nullptr || Z_TYPE_P(found) != IS_LONG)
        return defaultValue;
    return Z_LVAL_P(found);
}

int64_t assignObjectId(zval* value)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_OBJECT)
        return -1;
    if (objectIds == nullptr) {
        ALLOC_HASHTABLE(objectIds);
        zend_hash_init(objectIds, 8, nullptr, nullptr, 0);
    }
    ++objectIdCounter;
    zval id;
    ZVAL_LONG(&id, objectIdCounter);
    zend_object* object = Z_OBJ_P(value);
    zval* existing = zend_hash_index_find(objectIds, zend_object_to_weakref_key(object));
    if (existing != nullptr)
        ZVAL_COPY_VALUE(existing, &id);
    else
        zend_weakrefs_hash_add(objectIds, object, &id);
    return objectIdCounter;
}

int64_t getResourceId(zval* value)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_RESOURCE)
        return -1;
    return Z_RES_HANDLE_P(value);
}

void objectIdsRequestStart()
{
    // A table still referenced here belonged to an earlier request whose memory
    // the engine has already reclaimed.
    objectIds = nullptr;
}

void objectIdsRequestEnd()
{
    if (objectIds == nullptr)
        return;
    std::vector<zend_ulong> keys;
    keys.reserve(zend_hash_num_elements(objectIds));
    zend_ulong key;
    ZEND_HASH_FOREACH_NUM_KEY(objectIds, key) {
        keys.push_back(key);
    } ZEND_HASH_FOREACH_END();
    for (zend_ulong k : keys)
        zend_weakrefs_hash_del(objectIds, zend_weakref_key_to_object(k));
    zend_hash_destroy(objectIds);
    FREE_HASHTABLE(objectIds);
    objectIds = nullptr;
}

std::size_t printedLength(const zend_string* name)
{
    return name ? strnlen(ZSTR_VAL(name), ZSTR_LEN(name)) : 0;
}

std::string printedName(const zend_string* name)
{
    return name ? std::string(ZSTR_VAL(name), printedLength(name)) : std::string();
}

} // namespace vorn
