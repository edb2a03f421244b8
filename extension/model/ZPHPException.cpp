#include "extension/model/ZPHPException.h"

void ZPHPException::setErrorMessage(const std::string& text, int maxLength)
{
    if (maxLength > 0 && text.size() > static_cast<std::size_t>(maxLength)) {
        message = text.substr(0, static_cast<std::size_t>(maxLength)) + "...";
    } else {
        message = text;
    }
}
