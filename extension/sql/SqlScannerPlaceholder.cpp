#include "extension/sql/SqlScannerAPI.h"

#include "common/VornUtils.h"

bool sqlReduceText(const std::string& sql, int sqlMode, std::string& reduced)
{
    reduced = sql;
    if (sqlMode == 1) {
        std::string copy = sql;
        vorn::strReplace(copy, std::string("\t"), std::string(" "));
        const std::size_t blank = copy.find(' ');
        if (blank != std::string::npos) {
            reduced = copy.substr(0, blank);
            vorn::toUpper(reduced);
        }
    }
    return true;
}

std::string sqlLogText(const std::string& text, std::size_t maxBytes)
{
    std::string safe;
    static const char digits[] = "0123456789abcdef";
    for (unsigned char c : text.substr(0, maxBytes)) {
        if (c < 0x20 || c == 0x7f) {
            safe += "\\x";
            safe += digits[c >> 4];
            safe += digits[c & 0xf];
        } else {
            safe += static_cast<char>(c);
        }
    }
    return safe;
}
