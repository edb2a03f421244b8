#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

class VornLog;

// Reads a small INI file: sections, key=value lines and whole-line ";"
// comments. Bytes are read as Latin-1; a leading UTF-8 byte-order mark is
// skipped.
class VornINIReader {
public:
    class Section {
    public:
        std::wstring name;                          // trimmed; "" for the unnamed first section
        std::map<std::wstring, std::wstring> values; // first value of a key wins
    };

    // Largest part of a file that is read; point files are a few kilobytes.
    static constexpr std::size_t MAX_FILE_BYTES = 4 * 1024 * 1024;

    VornINIReader();
    virtual ~VornINIReader();

    // Fills `sections` from the file (starting from an empty list). Throws
    // zException "Failed to open file" when the file cannot be opened.
    void load(const std::wstring& path, VornLog& log);

    // File order; the first element is always the unnamed section holding the
    // key lines before the first header; repeated headers give repeated sections.
    std::list<boost::shared_ptr<Section>> sections;
};
