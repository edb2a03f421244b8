#include "daemon/VornConfig.h"

#include <boost/property_tree/ini_parser.hpp>


#include <cstring>
#include <sstream>

#include "common/VornUtils.h"
#include "common/zException.h"

void VornConfig::open(const std::wstring& path)
{
    // Opened without blocking, so that a FIFO in the file's place cannot hold
    // start-up. A file that is there but cannot be read is refused: running on
    // the defaults would hide that the settings written in it are ignored.
    std::string bytes;
    bool tooLarge = false;
    int error = 0;
    switch (vorn::readRegularFile(vorn::fromUtf(path), kMaxFileBytes, bytes, tooLarge, &error)) {
    case vorn::FileRead::Ok:
        break;
    case vorn::FileRead::NotRegularFile:
        throw zException(L"Unable to open configuration file: " + path + L". Not a regular file");
    case vorn::FileRead::CannotOpen:
        throw zException(L"Unable to open configuration file: " + path + L". " + vorn::toUtf(std::strerror(error)));
    case vorn::FileRead::ReadError:
        throw zException(L"Unable to read configuration file: " + path + L". " + vorn::toUtf(std::strerror(error)));
    }
    if (tooLarge)
        throw zException(L"Configuration file too large (more than " +
                         std::to_wstring(kMaxFileBytes) + L" bytes): " + path);

    vorn::dropByteOrderMark(bytes);

    const std::wstring text = vorn::fromUtf8(bytes);
    // Each byte that is not UTF-8 turns into U+FFFD; it would silently change
    // a path or name, so such a file is refused with the line at fault.
    if (vorn::fromUtf(text) != bytes) {
        std::size_t line = 1;
        for (std::size_t i = 0; i < text.size() && text[i] != 0xFFFD; ++i)
            if (text[i] == L'\n')
                ++line;
        throw zException(path + L"(" + std::to_wstring(line) + L"): text is not valid UTF-8");
    }
    parse(text, path);
}

void VornConfig::parse(const std::wstring& text, const std::wstring& origin)
{
    boost::property_tree::wptree tree;
    try {
        std::wistringstream stream(text);
        boost::property_tree::ini_parser::read_ini(stream, tree);
    } catch (const boost::property_tree::ini_parser_error& e) {
        throw zException(origin + L"(" + std::to_wstring(e.line()) + L"): " + vorn::toUtf(e.message()));
    } catch (const std::exception& e) {
        throw zException(origin + L": " + vorn::toUtf(e.what()));
    }
    _tree.swap(tree);
}
