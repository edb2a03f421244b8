#pragma once

#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "extension/model/ZPointFileEntry.h"

class VornLog;

// The functions to instrument, read once per process from the point files:
// directory + "/core-functions.ini", then every ".ini" file of
// directory + "/functions.d" in listing order.
class ZPointFile {
public:
    ZPointFile() = default;
    virtual ~ZPointFile() = default;

    // Empties the list and loads the point files. A file that cannot be opened
    // is logged as an error naming it and skipped; the other files are still
    // loaded. Only zException leaves this function.
    void load(const std::wstring& directory, VornLog& log);

    // Appends one entry per section with a non-empty name, in file order.
    // Raises zException "Failed to open file" when the file cannot be opened.
    void doLoadFile(const std::wstring& path, VornLog& log);

    // Paths (directory + "/" + name) of the directory's regular files, or
    // symbolic links to them, whose name ends with the extension regardless
    // of case, in listing order. A missing directory gives an empty list; a
    // directory that cannot be listed raises zException. Names that are not
    // valid UTF-8 are left out: they could not be opened by their wide path.
    static std::list<std::wstring> glob(const std::wstring& directory, const std::wstring& extension);

    // "class::function" (or the function alone when there is no class),
    // lower-cased.
    static std::wstring buildKey(const std::wstring& functionName, const std::wstring& className);
    // Same from engine names read as Latin-1; a null or empty class is no class.
    static std::wstring buildKey(const char* functionName, const char* className);

    // First entry whose key matches; null when none.
    boost::shared_ptr<ZPointFileEntry> find(const char* functionName, const char* className) const;

    std::list<boost::shared_ptr<ZPointFileEntry>> entries;

private:
    // doLoadFile, with a file that cannot be opened logged and skipped.
    void loadOrSkip(const std::wstring& path, VornLog& log);
};
