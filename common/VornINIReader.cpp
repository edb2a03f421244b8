#include "common/VornINIReader.h"


#include <set>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"

VornINIReader::VornINIReader() = default;

VornINIReader::~VornINIReader() = default;

namespace {

// Reads at most MAX_FILE_BYTES of the regular file `path`; anything that is
// no regular file (a FIFO would block, a device would never end) is not read.
bool readBounded(const std::wstring& path, VornLog& log, std::string& content)
{
    bool truncated = false;
    const vorn::FileRead result =
        vorn::readRegularFile(vorn::fromUtf(path), VornINIReader::MAX_FILE_BYTES, content, truncated);
    if (result == vorn::FileRead::NotRegularFile)
        log.logWarning("INI file is not a regular file and is not read:", path);
    if (result != vorn::FileRead::Ok)
        return false;
    if (truncated) {
        // The line cut at the bound is incomplete: it goes with the rest.
        const std::size_t lastEnd = content.rfind('\n');
        content.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
        log.logWarning("INI file is larger than", static_cast<unsigned long>(VornINIReader::MAX_FILE_BYTES),
                       "bytes; the rest is ignored:", path);
    }
    return true;
}

} // namespace

void VornINIReader::load(const std::wstring& path, VornLog& log)
{
    static const std::wstring trimSet = L"\n\r \t";

    sections.clear();
    log.logDbg1("Loading INI file:", path);

    // Bytes are read as they are and widened as Latin-1: a wide stream in the
    // "C" locale would stop at the first byte above 0x7F and silently drop
    // the rest of the file.
    std::string content;
    if (!readBounded(path, log, content))
        throw zException(L"Failed to open file");
    // Read as Latin-1, a byte-order mark would turn the first header into a
    // line that is skipped.
    vorn::dropByteOrderMark(content);

    boost::shared_ptr<Section> current(new Section());
    sections.push_back(current);
    std::set<std::wstring> seen;
    unsigned long lineNo = 0;

    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::string raw = content.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        std::wstring line = vorn::toUtf(raw);
        vorn::strTrim(line, trimSet);
        if (line.empty() || line[0] == L';')
            continue;
        if (line[0] == L'[') {
            line.erase(0, 1);
            if (!line.empty())
                line.erase(line.size() - 1);
            vorn::strTrim(line, trimSet);
            current.reset(new Section());
            current->name = line;
            sections.push_back(current);
            if (seen.count(line) != 0)
                log.logWarning("Duplicate entry found: [", line, "]", "at ", path, ":", lineNo);
            else
                seen.insert(line);
            continue;
        }
        const std::wstring::size_type eq = line.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        std::wstring key = line.substr(0, eq);
        std::wstring value = line.substr(eq + 1);
        vorn::strTrim(key, trimSet);
        vorn::strTrim(value, trimSet);
        current->values.insert(std::make_pair(key, value));
    }
}
