#include "extension/sql/ZTokenizer.h"

#include <limits>

ZTokenizer::ZTokenizer(const std::string& text, const std::string& delimiters)
    : text(text), delimiters(delimiters)
{
}

ZTokenizer::~ZTokenizer() = default;

bool ZTokenizer::atEnd() const
{
    // The position is 32-bit: bytes beyond its range are never reached.
    return position < 0 || static_cast<std::size_t>(position) >= text.size()
           || position == std::numeric_limits<int32_t>::max();
}

unsigned char ZTokenizer::next()
{
    if (atEnd())
        return 0;
    return static_cast<unsigned char>(text[static_cast<std::size_t>(position++)]);
}

void ZTokenizer::unget()
{
    if (position > 0)
        --position;
}

unsigned char ZTokenizer::peek() const
{
    return atEnd() ? 0 : static_cast<unsigned char>(text[static_cast<std::size_t>(position)]);
}

bool ZTokenizer::isDelim(unsigned char c) const
{
    return delimiters.find(static_cast<char>(c)) != std::string::npos;
}

bool ZTokenizer::tokenize(Token& token)
{
    if (text.empty())
        return false;
    token.text.clear();
    token.type = Token::NONE;
    std::string word;
    for (;;) {
        // A NUL byte inside the text reads as its end, as next() gives it.
        const unsigned char c = next();
        if (c == 0) {
            if (word.empty())
                return false;
            token.text = word;
            token.type = Token::WORD;
            return true;
        }
        if (!isDelim(c)) {
            word += static_cast<char>(c);
            continue;
        }
        if (word.empty()) {
            token.text.assign(1, static_cast<char>(c));
            token.type = Token::DELIMITER;
        } else {
            unget();
            token.text = word;
            token.type = Token::WORD;
        }
        return true;
    }
}
