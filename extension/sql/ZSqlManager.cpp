#include "extension/sql/ZSqlManager.h"

#include "extension/sql/ZMySQLiHandler.h"
#include "extension/sql/ZOciHandler.h"
#include "extension/sql/ZPDOHandler.h"

ZSqlManager::ZSqlManager()
    : mysqli(new ZMySQLiHandler()), pdo(new ZPDOHandler()), oci(new ZOciHandler())
{
}

ZSqlManager::~ZSqlManager() = default;

bool ZSqlManager::isHooked(Handler handler) const
{
    return mysqli->isHooked(handler) || pdo->isHooked(handler) || oci->isHooked(handler);
}

bool ZSqlManager::hook(const std::wstring& key, vorn_wrapped_function& record)
{
    return mysqli->hook(key, record) || pdo->hook(key, record) || oci->hook(key, record);
}

void ZSqlManager::cleanup()
{
    mysqli->cleanup();
    pdo->cleanup();
    oci->cleanup();
}
