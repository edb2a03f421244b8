#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Text to 32-bit token. Every table starts with twelve fixed entries (tokens
// 0 to 11); other tokens come from one process-wide counter starting at 1001,
// so a token handed out by any table of the process is never reused.
class ZSymbolTable {
public:
    // The fixed entries every table holds (tokens 0 to FIXED_COUNT - 1).
    static constexpr std::size_t FIXED_COUNT = 12;

    ZSymbolTable();

    // Back to the twelve fixed entries; the counter is left alone.
    void reset();

    // The text's stored token if present (the argument is then ignored);
    // otherwise stores the text with the token, or with the next counter
    // value when the token is -1, and returns it.
    int32_t add(const std::string& text, int32_t token);

    // The text's token, or -1 when absent.
    int32_t value(const std::string& text) const;
    bool contains(const std::string& text) const;

    // Copies the other table's entries whose texts are absent here.
    void merge(const ZSymbolTable& other);

    std::size_t size() const;

    static int32_t nextValue();

    // Tokens of fixed entries that every request's locations use.
    static constexpr int32_t EMPTY_TOKEN = 0;         // ""
    static constexpr int32_t WEB_TIER_TOKEN = 3;      // "Web Tier"
    static constexpr int32_t METHOD_LAYER_TOKEN = 8;  // "method"

    // A token of the fixed entries: no other text ever has one.
    static bool isFixedToken(int32_t token) { return token >= 0 && token < static_cast<int32_t>(FIXED_COUNT); }

    // Byte-wise order of the texts (std::string compares bytes as unsigned).
    std::map<std::string, int32_t> symbols;
};
