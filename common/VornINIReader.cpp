#include "common/VornINIReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/zException.h"

VornINIReader::VornINIReader() = default;

VornINIReader::~VornINIReader() = default;

namespace {

// Reads at most MAX_FILE_BYTES of the regular file `path`. Opened without
// blocking, so that a FIFO in the file's place cannot hold the caller; a
// device or anything else that is no regular file is not read at all.
bool readBounded(const std::wstring& path, VornLog& log, std::string& content)
{
    const int fd = ::open(vorn::fromUtf(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        log.logWarning("INI file is not a regular file and is not read:", path);
        return false;
    }
    const std::size_t limit = VornINIReader::MAX_FILE_BYTES + 1;
    content.assign(limit, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < limit) {
        const ssize_t n = ::read(fd, &content[got], limit - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failed = true;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failed)
        return false;
    content.resize(got);
    if (content.size() > VornINIReader::MAX_FILE_BYTES) {
        // The line cut at the bound is incomplete: it goes with the rest.
        content.resize(VornINIReader::MAX_FILE_BYTES);
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
