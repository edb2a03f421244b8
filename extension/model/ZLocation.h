#pragma once

#include <cstdint>
#include <string>

// One instrumented code site. The eight integers are exactly what the peer
// receives for the location, in this order; the three texts stay in the
// process and only serve log lines (a listed user function's location leaves
// them empty).
struct ZLocation {
    int32_t id = -1;
    int32_t calleeClassNameToken = -1;
    int32_t calleeMethodNameToken = -1;
    int32_t layerToken = -1;
    int32_t callerClassNameId = -1;
    int32_t callerMethodNameId = -1;
    int32_t callerLineNumber = -1;
    int32_t layerTypeId = -1;
    std::string className;
    std::string methodName;
    std::string path;

    // Next location id of this process: 1, 2, ... for the life of the process.
    static int32_t nextValue();

    // "Class::method", or the method alone for a plain function.
    const std::string& makePath();
};
