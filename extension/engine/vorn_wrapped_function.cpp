#include "extension/engine/vorn_wrapped_function.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace {

struct Installed {
    zif_handler saved;        // the engine's own handler
    zif_handler replacement;  // what was put in its place
};

// Every record wrapped at module start-up, by live record: the saved handler
// for an engine that gave the extension no reserved slot, and what module
// shutdown puts back.
std::unordered_map<const zend_function*, Installed>& savedByRecord()
{
    static std::unordered_map<const zend_function*, Installed> table;
    return table;
}

zif_handler fromSlot(const zend_function* function, int resourceId)
{
    zif_handler handler = nullptr;
    void* word = function->internal_function.reserved[resourceId];
    static_assert(sizeof(word) == sizeof(handler), "handler fits a reserved word");
    std::memcpy(&handler, &word, sizeof(handler));
    return handler;
}

} // namespace

vorn_wrapped_function vorn_wrapped_function::from(const zend_function* live)
{
    vorn_wrapped_function record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(&record.function, &live->internal_function, sizeof(record.function));
    record.savedHandler = live->internal_function.handler;
    return record;
}

void vorn_wrapped_function::install(zend_function* live, const vorn_wrapped_function& record, int resourceId)
{
    if (resourceId >= 0 && resourceId < ZEND_MAX_RESERVED_RESOURCES) {
        void* word = nullptr;
        std::memcpy(&word, &record.savedHandler, sizeof(word));
        live->internal_function.reserved[resourceId] = word;
    }
    savedByRecord()[live] = Installed{record.savedHandler, record.function.handler};
    live->internal_function.handler = record.function.handler;
}

void vorn_wrapped_function::uninstallAll(int resourceId)
{
    for (auto& wrapped : savedByRecord()) {
        zend_function* live = const_cast<zend_function*>(wrapped.first);
        if (live->internal_function.handler != wrapped.second.replacement)
            continue;  // another extension wrapped it since: its wrapper calls this one's
        live->internal_function.handler = wrapped.second.saved;
        if (resourceId >= 0 && resourceId < ZEND_MAX_RESERVED_RESOURCES)
            live->internal_function.reserved[resourceId] = nullptr;
    }
    savedByRecord().clear();
}

zend_function* vorn_wrapped_function::findMethod(const HashTable* table, const zend_string* name)
{
    if (!table || !name)
        return nullptr;
    std::string lower(ZSTR_VAL(name), ZSTR_LEN(name));
    zend_str_tolower(&lower[0], lower.size());
    return static_cast<zend_function*>(zend_hash_str_find_ptr(table, lower.data(), lower.size()));
}

zif_handler vorn_wrapped_function::savedHandlerOf(const zend_function* function, int resourceId)
{
    if (!function || function->type != ZEND_INTERNAL_FUNCTION)
        return nullptr;
    if (resourceId >= 0 && resourceId < ZEND_MAX_RESERVED_RESOURCES) {
        if (zif_handler handler = fromSlot(function, resourceId))
            return handler;
    }
    const auto& table = savedByRecord();
    auto found = table.find(function);
    if (found != table.end())
        return found->second.saved;
    // A copy made when a class inherited the method keeps the declaring class
    // as its scope: the original record is that class's entry.
    if (function->common.scope && function->common.function_name) {
        const zend_function* original = static_cast<const zend_function*>(
            findMethod(&function->common.scope->function_table, function->common.function_name));
        if (original && original != function) {
            found = table.find(original);
            if (found != table.end())
                return found->second.saved;
        }
    }
    return nullptr;
}
