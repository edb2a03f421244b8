#include "common/VornINIReader.h"

#include <fstream>
#include <set>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"

VornINIReader::VornINIReader() = default;

VornINIReader::~VornINIReader() = default;

void VornINIReader::load(const std::wstring& path, VornLog& log)
{
    static const std::wstring trimSet = L"\n\r \t";

    sections.clear();
    log.logDbg1("Loading INI file:", path);

    // Bytes are read as they are and widened as Latin-1: a wide stream in the
    // "C" locale would stop at the first byte above 0x7F and silently drop
    // the rest of the file.
    std::ifstream in(vorn::fromUtf(path).c_str(), std::ios::in | std::ios::binary);
    if (!in.is_open())
        throw zException(L"Failed to open file");

    boost::shared_ptr<Section> current(new Section());
    sections.push_back(current);
    std::set<std::wstring> seen;
    unsigned long lineNo = 0;

    std::string raw;
    while (std::getline(in, raw)) {
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
