#include "extension/model/ZLocation.h"

int32_t ZLocation::nextValue()
{
    static int32_t ZLocationID = 0;
    return ++ZLocationID;
}

const std::string& ZLocation::makePath()
{
    if (className.empty()) {
        path = methodName;
    } else {
        path = className + "::" + methodName;
    }
    return path;
}
