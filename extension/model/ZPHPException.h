#pragma once

#include <cstddef>
#include <string>

// Error details of one call: message, backtrace and exception class name (or
// error kind).
class ZPHPException {
public:
    ZPHPException() = default;
    ZPHPException(const ZPHPException&) = default;
    ZPHPException& operator=(const ZPHPException&) = default;
    virtual ~ZPHPException() = default;

    // Keeps at most maxLength bytes followed by "..."; a maxLength of 0 or
    // less never cuts. The cut counts bytes, not characters.
    void setErrorMessage(const std::string& text, int maxLength);
    // The same for the `length` bytes at `text` up to the first NUL byte
    // among them; reads no more of them than the cut keeps, and one more.
    void setErrorMessage(const char* text, std::size_t length, int maxLength);

    std::string message;
    std::string trace;
    std::string type;
};
