#pragma once

#include <string>

namespace vorn {

// A URL split into its parts (see vorn::parseURL). A part the URL does not
// have stays empty.
struct Uri {
    std::wstring query;          // from the first "?" to the end, "?" included
    std::wstring path;           // from the first "/" after the host up to the query
    std::wstring collapsedPath;  // a copy of path; URL tracking replaces it later
    std::wstring protocol;       // text before "://", case unchanged
    std::wstring host;
    std::wstring port;           // without its ":"
};

} // namespace vorn
