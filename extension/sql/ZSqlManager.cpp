#include "extension/sql/ZSqlManager.h"

ZSqlManager::ZSqlManager() = default;

ZSqlManager::~ZSqlManager() = default;

bool ZSqlManager::isHooked(Handler) const
{
    return false;
}

bool ZSqlManager::hook(const std::wstring&, vorn_wrapped_function&)
{
    return false;
}

void ZSqlManager::cleanup()
{
}
