#include "extension/model/ZPHPException.h"

#include <algorithm>
#include <cstring>

void ZPHPException::setErrorMessage(const std::string& text, int maxLength)
{
    if (maxLength > 0 && text.size() > static_cast<std::size_t>(maxLength)) {
        message = text.substr(0, static_cast<std::size_t>(maxLength)) + "...";
    } else {
        message = text;
    }
}

void ZPHPException::setErrorMessage(const char* text, std::size_t length, int maxLength)
{
    if (text == nullptr)
        length = 0;
    // One byte past the cut is enough to know that the text is longer.
    const std::size_t limit = maxLength > 0 ? static_cast<std::size_t>(maxLength) : 0;
    const std::size_t read = limit > 0 ? std::min(length, limit + 1) : length;
    const void* nul = read > 0 ? std::memchr(text, '\0', read) : nullptr;
    const std::size_t size = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : read;
    if (limit > 0 && size > limit) {
        message.assign(text, limit);
        message += "...";
    } else {
        message.assign(text != nullptr ? text : "", size);
    }
}
