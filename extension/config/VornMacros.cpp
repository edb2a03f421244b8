#include "extension/config/VornMacros.h"

#include "common/VornUtils.h"

namespace vorn {

std::wstring expandMacros(const std::wstring& text, const std::wstring& installDir)
{
    std::wstring result = text;
    vorn::strReplace(result, L"$(INSTALL_DIR)", installDir);
    return result;
}

} // namespace vorn
