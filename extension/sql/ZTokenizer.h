#pragma once

#include <cstdint>
#include <string>

// Splits a byte string into words and single delimiter bytes: consecutive
// delimiters give one token each, and no empty word is ever returned.
class ZTokenizer {
public:
    struct Token {
        enum Type : int32_t { NONE = 0, WORD = 1, DELIMITER = 2 };
        std::string text;
        int32_t type = NONE;
    };

    ZTokenizer(const std::string& text, const std::string& delimiters);
    virtual ~ZTokenizer();

    // The next token: true with it, false when there is none.
    bool tokenize(Token& token);
    // The byte at `position` (as unsigned), advancing; 0 at the end.
    unsigned char next();
    // Steps back by one byte, not below the start.
    void unget();
    // The byte at `position` without moving; 0 at the end.
    unsigned char peek() const;
    bool isDelim(unsigned char c) const;

    std::string text;
    std::string delimiters;
    int32_t position = 0;

private:
    bool atEnd() const;
};
