#include "common/zException.h"

#include "common/VornUtils.h"

zException::zException(const std::wstring& text) : message(vorn::fromUtf(text)) {}

zException::zException(const zException& other) : std::exception(other), message(other.message) {}

zException& zException::operator=(const zException& other)
{
    std::exception::operator=(other);
    message = other.message;
    return *this;
}

zException::~zException() = default;

const char* zException::what() const noexcept
{
    return message.c_str();
}
