#include "extension/crossvm/ZCrossVmManager.h"

#include "php.h"

#include "common/VornLog.h"
#include "extension/crossvm/CrossVmHandlerBase.h"
#include "extension/crossvm/CurlCrossVMHandler.h"
#include "extension/crossvm/FileGetContentsCrossVMHandler.h"
#include "extension/crossvm/StreamCrossVMHandler.h"
#include "extension/engine/vorn_wrapped_function.h"
#include "extension/instrumentation/Manager.h"

ZCrossVmManager::ZCrossVmManager()
{
    handlers.resize(3);
    handlers[CROSSVM_CURL] = std::make_shared<CurlCrossVMHandler>();
    handlers[CROSSVM_FILE_GET_CONTENTS] = std::make_shared<FileGetContentsCrossVMHandler>();
    handlers[CROSSVM_STREAM] = std::make_shared<StreamCrossVMHandler>();
}

ZCrossVmManager::~ZCrossVmManager() = default;

bool ZCrossVmManager::isHooked(Handler handler) const
{
    for (const auto& h : handlers) {
        if (h && h->isHooked(handler))
            return true;
    }
    return false;
}

bool ZCrossVmManager::hook(const std::wstring& key, vorn_wrapped_function& record)
{
    for (std::size_t i = 0; i < handlers.size(); ++i) {
        if (handlers[i] && handlers[i]->hook(key, record)) {
            if (i == CROSSVM_CURL)
                hookCompanions(*handlers[i], key);
            return true;
        }
    }
    return false;
}

namespace {

// Listed functions are offered by the core itself, which then also files
// their point-file entry (their calls are reported under it).
bool listed(const std::wstring& key)
{
    Manager* manager = InternalFunctionHandlerBase::_manager;
    if (manager == nullptr)
        return false;
    for (const auto& entry : manager->pointFile.entries) {
        if (entry && entry->key == key)
            return true;
    }
    return false;
}

} // namespace

void ZCrossVmManager::hookCompanions(CrossVmHandlerBase& handler, const std::wstring& taken)
{
    for (const std::wstring& key : handler.functionKeys()) {
        if (key == taken || listed(key))
            continue;
        const std::string name(key.begin(), key.end());
        auto* function = static_cast<zend_function*>(zend_hash_str_find_ptr(CG(function_table), name.data(), name.size()));
        if (function == nullptr || function->type != ZEND_INTERNAL_FUNCTION)
            continue;
        zif_handler current = function->internal_function.handler;
        // Already ours, or already timed by the core's wrapper (which the
        // core never replaces): leave it.
        if (isHooked(current) || Manager::isCoreWrapper(current))
            continue;
        vorn_wrapped_function record = vorn_wrapped_function::from(function);
        if (!handler.hook(key, record))
            continue;
        vorn_wrapped_function::install(function, record, Manager::_resourceID);
        Manager::LOG.logDbg1("CrossVM Method:", key, "(follows the handle)");
    }
}

void ZCrossVmManager::cleanup()
{
    for (const auto& h : handlers) {
        if (h)
            h->cleanup();
    }
}
