#include "extension/model/ZSymbolTable.h"

ZSymbolTable::ZSymbolTable()
{
    reset();
}

namespace {

constexpr const char* kFixedTexts[] = {
    "", "GET", "POST", "Web Tier", "{main}", "\\", "REQUEST_STARTUP",
    "REQUEST_SHUTDOWN", "method", "Remote-Class", "Remote Method()", "CrossVM",
};
constexpr int32_t kFixedCount = static_cast<int32_t>(sizeof(kFixedTexts) / sizeof(kFixedTexts[0]));
static_assert(kFixedCount == static_cast<int32_t>(ZSymbolTable::FIXED_COUNT), "fixed entries");

constexpr bool sameText(const char* a, const char* b)
{
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}
static_assert(sameText(kFixedTexts[ZSymbolTable::EMPTY_TOKEN], ""), "token of the empty text");
static_assert(sameText(kFixedTexts[ZSymbolTable::WEB_TIER_TOKEN], "Web Tier"), "token of the layer");
static_assert(sameText(kFixedTexts[ZSymbolTable::METHOD_LAYER_TOKEN], "method"), "token of the layer type");

} // namespace

void ZSymbolTable::reset()
{
    // Tables are reset on every request: the fixed entries already present
    // are kept rather than freed and built again, only the others go.
    for (auto it = symbols.begin(); it != symbols.end();) {
        const int32_t token = it->second;
        if (token >= 0 && token < kFixedCount && it->first == kFixedTexts[token])
            ++it;
        else
            it = symbols.erase(it);
    }
    if (static_cast<int32_t>(symbols.size()) != kFixedCount) {
        int32_t token = 0;
        for (const char* text : kFixedTexts) {
            symbols.emplace(text, token++);
        }
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
