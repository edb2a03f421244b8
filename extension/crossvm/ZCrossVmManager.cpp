#include "extension/crossvm/ZCrossVmManager.h"

ZCrossVmManager::ZCrossVmManager() = default;

ZCrossVmManager::~ZCrossVmManager() = default;

bool ZCrossVmManager::isHooked(Handler) const
{
    return false;
}

bool ZCrossVmManager::hook(const std::wstring&, vorn_wrapped_function&)
{
    return false;
}

void ZCrossVmManager::cleanup()
{
}
