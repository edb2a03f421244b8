#pragma once

#include <exception>
#include <string>

// The one exception type of the system. It is built from wide text and keeps
// the message as UTF-8, so catchers can log it or print it as a C string.
class zException : public std::exception {
public:
    explicit zException(const std::wstring& text);
    zException(const zException& other);
    zException& operator=(const zException& other);
    ~zException() override;

    // The UTF-8 message (the same bytes as `message`).
    const char* what() const noexcept override;

    // UTF-8 text of the message; catchers read it directly.
    std::string message;
};
