#include "extension/ZSymbolTable.h"

ZSymbolTable::ZSymbolTable()
{
    reset();
}

void ZSymbolTable::reset()
{
    static const char* const fixed[] = {
        "", "GET", "POST", "Web Tier", "{main}", "\\", "REQUEST_STARTUP",
        "REQUEST_SHUTDOWN", "method", "Remote-Class", "Remote Method()", "CrossVM",
    };
    symbols.clear();
    int32_t token = 0;
    for (const char* text : fixed) {
        symbols.emplace(text, token++);
    }
}

int32_t ZSymbolTable::add(const std::string& text, int32_t token)
{
    auto found = symbols.find(text);
    if (found != symbols.end()) {
        return found->second;
    }
    if (token == -1) {
        token = nextValue();
    }
    symbols.emplace(text, token);
    return token;
}

int32_t ZSymbolTable::value(const std::string& text) const
{
    auto found = symbols.find(text);
    return found == symbols.end() ? -1 : found->second;
}

bool ZSymbolTable::contains(const std::string& text) const
{
    return symbols.count(text) != 0;
}

void ZSymbolTable::merge(const ZSymbolTable& other)
{
    for (const auto& entry : other.symbols) {
        symbols.insert(entry);
    }
}

std::size_t ZSymbolTable::size() const
{
    return symbols.size();
}

int32_t ZSymbolTable::nextValue()
{
    static int32_t ZSymbolTableID = 1000;
    return ++ZSymbolTableID;
}
