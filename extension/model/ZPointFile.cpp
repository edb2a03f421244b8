#include "extension/model/ZPointFile.h"

#include <boost/filesystem.hpp>

#include "common/VornINIReader.h"
#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"

void ZPointFile::load(const std::wstring& directory, VornLog& log)
{
    entries.clear();
    loadOrSkip(directory + L"/core-functions.ini", log);

    std::list<std::wstring> extra;
    try {
        extra = glob(directory + L"/functions.d", L".ini");
    } catch (const zException& e) {
        // The core entries stay usable; the additional files are skipped.
        log.logWarning("Cannot list additional point files:", e.message);
        return;
    }
    for (const auto& path : extra) {
        loadOrSkip(path, log);
    }
}

void ZPointFile::loadOrSkip(const std::wstring& path, VornLog& log)
{
    // One missing or unreadable file must not take the functions the other
    // files list with it; the reader fails before it hands on any section.
    try {
        doLoadFile(path, log);
    } catch (const zException& e) {
        log.logError("Error while loading Points file:", VornLog::untrusted(path), "-", e.message);
    }
}

void ZPointFile::doLoadFile(const std::wstring& path, VornLog& log)
{
    VornINIReader reader;
    reader.load(path, log);
    for (const auto& section : reader.sections) {
        if (!section || section->name.empty()) {
            continue;
        }
        auto entry = boost::shared_ptr<ZPointFileEntry>(new ZPointFileEntry());
        entry->name = section->name;
        entry->build(section->values);
        entries.push_back(entry);
    }
}

std::list<std::wstring> ZPointFile::glob(const std::wstring& directory, const std::wstring& extension)
{
    namespace fs = boost::filesystem;
    std::list<std::wstring> result;
    std::wstring extLower = extension;
    vorn::toLower(extLower);

    const fs::path dir(vorn::fromUtf(directory));
    boost::system::error_code ec;
    if (!fs::exists(dir, ec)) {
        return result;
    }
    fs::directory_iterator it(dir, ec);
    if (ec) {
        throw zException(L"Failed to list directory " + directory + L": " + vorn::toUtf(ec.message()));
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            throw zException(L"Failed to list directory " + directory + L": " + vorn::toUtf(ec.message()));
        }
        boost::system::error_code statusError;
        if (!fs::is_regular_file(it->path(), statusError)) {
            continue;  // subdirectories, broken links, other kinds
        }
        const std::string name = it->path().filename().string();
        std::wstring wideName = vorn::fromUtf8(name);
        if (vorn::fromUtf(wideName) != name) {
            continue;
        }
        std::wstring path = directory + L"/" + wideName;
        std::wstring pathLower = path;
        vorn::toLower(pathLower);
        if (pathLower.size() >= extLower.size() &&
            pathLower.compare(pathLower.size() - extLower.size(), extLower.size(), extLower) == 0) {
            result.push_back(path);
        }
    }
    if (ec) {
        throw zException(L"Failed to list directory " + directory + L": " + vorn::toUtf(ec.message()));
    }
    // In name order, not the directory's: which file's entry wins a name
    // listed twice, and the entry numbers compiled into listed functions,
    // are then the same on every machine and after files are added.
    result.sort();
    return result;
}

std::wstring ZPointFile::buildKey(const std::wstring& functionName, const std::wstring& className)
{
    std::wstring key = className.empty() ? functionName : className + L"::" + functionName;
    vorn::toLower(key);
    return key;
}

std::wstring ZPointFile::buildKey(const char* functionName, const char* className)
{
    return buildKey(vorn::toUtf(functionName), vorn::toUtf(className));
}

boost::shared_ptr<ZPointFileEntry> ZPointFile::find(const char* functionName, const char* className) const
{
    const std::wstring key = buildKey(functionName, className);
    for (const auto& entry : entries) {
        if (entry->matches(key)) {
            return entry;
        }
    }
    return boost::shared_ptr<ZPointFileEntry>();
}
