#pragma once

#include <functional>
#include <string>

// Checks a URL table file before a worker trusts it. The table links its parts
// by offsets read from the file, so a file left half-written by a process that
// died while creating it, or damaged otherwise, would send every worker reading
// it outside its mapping. The check walks the whole structure once: both
// headers, every bucket chain (links, lengths, bounds, bucket of each key) and
// the entry count, and the number texts of the values.
class ZUrlTableValidator {
public:
    enum class Result {
        Valid,      // a sound table
        Missing,    // no such file
        Corrupt,    // present but not a sound table; `reason` says why
        Unreadable  // present but cannot be opened or mapped; `reason` says why
    };

    // Visitor for the entries of a valid table, in bucket then chain order.
    using EntryVisitor = std::function<void(const std::string& key, const std::string& value)>;

    static Result check(const std::string& path, std::string& reason,
                        const EntryVisitor& visit = EntryVisitor());

    // Layout constants of the table file.
    static constexpr int kMagic = 34508;
    static constexpr int kBuckets = 503;
    static constexpr long kAllocatorHeader = 8;   // heap size, heap use
    static constexpr long kTableStart = 4040;     // heap offset of the first entry
    static constexpr long kEntrySize = 48;
};
