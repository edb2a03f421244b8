#include "extension/engine/EngineServerVariables.h"

#include <cstring>

#include "php.h"
#include "SAPI.h"
#include "php_globals.h"

// The engine's compatibility header renames "lookup" for its bundled regex
// library; this file means the interface's own method.
#undef lookup

namespace {

void assignUpToNul(std::string& value, const char* bytes, size_t length)
{
    const void* nul = std::memchr(bytes, 0, length);
    value.assign(bytes, nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : length);
}

// The request's $_SERVER array as the server interface filled it. With
// just-in-time auto-globals the array is built on first use, so ask for it.
HashTable* serverArray()
{
    zend_is_auto_global_str("_SERVER", sizeof("_SERVER") - 1);
    zval* server = &PG(http_globals)[TRACK_VARS_SERVER];
    if (Z_TYPE_P(server) != IS_ARRAY)
        return nullptr;
    return Z_ARRVAL_P(server);
}

} // namespace

const EngineServerVariables& EngineServerVariables::instance()
{
    static const EngineServerVariables variables;
    return variables;
}

bool EngineServerVariables::lookup(const std::string& name, std::string& value) const
{
    if (sapi_module.getenv != nullptr) {
        char* found = sapi_getenv(name.c_str(), name.size());
        if (found == nullptr)
            return false;
        assignUpToNul(value, found, std::strlen(found));
        efree(found);
        return true;
    }
    HashTable* server = serverArray();
    if (server == nullptr)
        return false;
    zval* entry = zend_hash_str_find(server, name.data(), name.size());
    if (entry == nullptr)
        return false;
    ZVAL_DEREF(entry);
    switch (Z_TYPE_P(entry)) {
    case IS_STRING:
        assignUpToNul(value, Z_STRVAL_P(entry), Z_STRLEN_P(entry));
        return true;
    case IS_LONG:
        value = std::to_string(Z_LVAL_P(entry));
        return true;
    default:
        return false;
    }
}
