#pragma once
// The registration record that agent-daemon publishes in the shared-memory
// block "QX_PHPAgent" and that every PHP worker reads. Both sides include this
// one definition; the byte layout is part of the contract between separately
// built programs, so every offset is pinned at compile time below.
//
// Byte 0 is the registered flag; a writer fills every other byte first and
// sets byte 0 last, so a reader that sees 1 also sees complete texts. Each
// text slot holds at most 127 bytes of UTF-8 followed by at least one NUL.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

struct AgentMetadata {
    static constexpr const char* kBlockName = "QX_PHPAgent";
    static constexpr std::size_t kSize = 392;
    static constexpr std::size_t kTextSize = 128;
    static constexpr std::int32_t kTechnologyType = 10;

    std::uint8_t registered;         // 0 not registered, 1 registered
    std::uint8_t padding[3];         // always 0
    std::int32_t technologyType;     // 0 until registration, then 10
    char probeName[kTextSize];       // probe name
    char host[kTextSize];            // fully qualified host name
    char componentID[kTextSize];     // probe name "." seconds since the epoch

    // Copies UTF-8 text into a slot, NUL-filling the rest. A text that does not
    // fit with its NUL is cut at the last whole character that fits, so the
    // slot never ends in half a multi-byte sequence.
    static void setText(char (&slot)[kTextSize], const std::string& utf8)
    {
        std::size_t n = utf8.size();
        if (n > kTextSize - 1) {
            n = kTextSize - 1;
            // Step back over continuation bytes to the start of the cut character.
            std::size_t start = n;
            while (start > 0 && (static_cast<unsigned char>(utf8[start]) & 0xC0) == 0x80)
                --start;
            n = start;
        }
        std::memset(slot, 0, kTextSize);
        std::memcpy(slot, utf8.data(), n);
    }

    // The text of a slot up to its first NUL, never reading past the slot.
    static std::string getText(const char (&slot)[kTextSize])
    {
        std::string text;
        getText(slot, text);
        return text;
    }
    // The same into `out`, whose buffer is reused.
    static void getText(const char (&slot)[kTextSize], std::string& out)
    {
        const void* end = std::memchr(slot, 0, kTextSize);
        std::size_t n = end ? static_cast<std::size_t>(static_cast<const char*>(end) - slot) : kTextSize;
        out.assign(slot, n);
    }
};

static_assert(std::is_standard_layout<AgentMetadata>::value, "AgentMetadata must have a fixed C layout");
static_assert(std::is_trivially_copyable<AgentMetadata>::value, "AgentMetadata is copied as raw bytes");
static_assert(sizeof(AgentMetadata) == AgentMetadata::kSize, "AgentMetadata must be 392 bytes");
static_assert(offsetof(AgentMetadata, registered) == 0, "registered flag at offset 0");
static_assert(offsetof(AgentMetadata, padding) == 1, "padding at offset 1");
static_assert(offsetof(AgentMetadata, technologyType) == 4, "technologyType at offset 4");
static_assert(offsetof(AgentMetadata, probeName) == 8, "probeName at offset 8");
static_assert(offsetof(AgentMetadata, host) == 136, "host at offset 136");
static_assert(offsetof(AgentMetadata, componentID) == 264, "componentID at offset 264");
static_assert(sizeof(std::int32_t) == 4 && sizeof(char) == 1, "integer sizes of the record");
