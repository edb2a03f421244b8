#pragma once

#include <cstdint>
#include <map>
#include <string>

// One section of a point file: a function or method to instrument.
class ZPointFileEntry {
public:
    // Bit of `flags`: the entry's internal function has been wrapped.
    static constexpr uint64_t FLAG_WRAPPED = 1;

    ZPointFileEntry() = default;
    virtual ~ZPointFileEntry() = default;

    // Takes "class", "method" and "layer" from a section's key/value map
    // (keys are case-sensitive, others ignored), then computes `key`.
    void build(const std::map<std::wstring, std::wstring>& values);

    // The entry's key equals the given key exactly.
    bool matches(const std::wstring& otherKey) const;

    std::wstring name;         // section name
    std::wstring className;    // "class", empty for a plain function
    std::wstring methodName;   // "method"
    std::wstring layer;        // "layer"
    std::wstring key;          // lookup key, see ZPointFile::buildKey
    std::string classNameLower;   // UTF-8, lower case
    std::string methodNameLower;  // UTF-8, lower case
    uint64_t flags = 0;
};
