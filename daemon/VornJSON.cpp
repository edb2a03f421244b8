#include "daemon/VornJSON.h"

#include <cjson/cJSON.h>
#include <cstdlib>

#include "common/VornUtils.h"

namespace {

cJSON* createNode(zJSON::eType type)
{
    switch (type) {
    case zJSON::False:  return cJSON_CreateFalse();
    case zJSON::True:   return cJSON_CreateTrue();
    case zJSON::Null:   return cJSON_CreateNull();
    case zJSON::Number: return cJSON_CreateNumber(0);
    case zJSON::String: return cJSON_CreateString("");
    case zJSON::Array:  return cJSON_CreateArray();
    case zJSON::Object: return cJSON_CreateObject();
    }
    return cJSON_CreateNull();
}

// Attaches a freshly created node; a node that could not be attached is freed
// here so that a failed add never leaks.
void attach(cJSON* parent, const std::wstring* key, cJSON* node)
{
    if (!node || !parent)
        return;
    bool ok = key ? cJSON_AddItemToObject(parent, vorn::fromUtf(*key).c_str(), node)
                  : cJSON_AddItemToArray(parent, node);
    if (!ok)
        cJSON_Delete(node);
}

} // namespace

zJSON::zJSON(cJSON* item, bool owned) : _item(item), _owned(owned) {}

zJSON::~zJSON() {}

zJSON* zJSON::create(eType type, bool owned)
{
    return new zJSON(createNode(type), owned);
}

void zJSON::destroy(zJSON* json)
{
    if (!json)
        return;
    if (json->_owned && json->_item)
        cJSON_Delete(json->_item);
    delete json;
}

void zJSON::add(const std::wstring& key, zJSON* child)
{
    if (!child || !child->_item || !_item)
        return;
    // Once in the tree the node is the tree's; if it could not be added, the
    // child's wrapper keeps it and deletes it when destroyed.
    if (cJSON_AddItemToObject(_item, vorn::fromUtf(key).c_str(), child->_item))
        child->_owned = false;
    else
        child->_owned = true;
}

void zJSON::add(const std::wstring& key, const std::wstring& value)
{
    attach(_item, &key, cJSON_CreateString(vorn::fromUtf(value).c_str()));
}

void zJSON::add(const std::wstring& key, long long value)
{
    attach(_item, &key, cJSON_CreateNumber(static_cast<double>(value)));
}

void zJSON::arrayAdd(zJSON* child)
{
    if (!child || !child->_item || !_item)
        return;
    if (cJSON_AddItemToArray(_item, child->_item))
        child->_owned = false;
    else
        child->_owned = true;
}

void zJSON::arrayAdd(const std::wstring& value)
{
    attach(_item, nullptr, cJSON_CreateString(vorn::fromUtf(value).c_str()));
}

void zJSON::arrayAdd(long long value)
{
    attach(_item, nullptr, cJSON_CreateNumber(static_cast<double>(value)));
}

std::string zJSON::print() const
{
    if (!_item)
        return std::string();
    char* text = cJSON_Print(_item);
    if (!text)
        return std::string();
    std::string result(text);
    std::free(text);
    return result;
}
