#include "extension/model/ZPointFileEntry.h"

#include "common/VornUtils.h"
#include "extension/model/ZPointFile.h"

namespace {

std::string lowerUtf8(const std::wstring& text)
{
    std::string narrow = vorn::fromUtf(text);
    vorn::toLower(narrow);
    return narrow;
}

} // namespace

void ZPointFileEntry::build(const std::map<std::wstring, std::wstring>& values)
{
    for (const auto& pair : values) {
        if (pair.first == L"class") {
            className = pair.second;
            classNameLower = lowerUtf8(className);
        } else if (pair.first == L"method") {
            methodName = pair.second;
            methodNameLower = lowerUtf8(methodName);
        } else if (pair.first == L"layer") {
            layer = pair.second;
        }
    }
    key = ZPointFile::buildKey(methodName, className);
}

bool ZPointFileEntry::matches(const std::wstring& otherKey) const
{
    return key == otherKey;
}
