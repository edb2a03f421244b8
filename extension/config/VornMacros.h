#pragma once

#include <string>

namespace vorn {

// A copy of `text` with the first "$(INSTALL_DIR)" replaced by the configured
// installation directory (Manager::globals.install_dir). Any later occurrence
// stays as written.
std::wstring expandMacros(const std::wstring& text);

// Same, with the installation directory given.
std::wstring expandMacros(const std::wstring& text, const std::wstring& installDir);

} // namespace vorn
