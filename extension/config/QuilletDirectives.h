#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extension/config/QuilletGlobals.h"

// The 19 "qx." php.ini directives: their names and default texts, and how
// their values become the fields of QuilletGlobals (conversion, bounds).
// Engine-free: the values come through a Source, which the module fills from
// the engine's INI readers and tests fill from a map.
class QuilletDirectives {
public:
    // One registered directive.
    struct Entry {
        const char* name;
        const char* defaultText;
    };

    // Where the directive values come from.
    class Source {
    public:
        virtual ~Source() = default;
        // The directive's current text; false when the engine gives no value.
        virtual bool text(const std::string& name, std::string& value) const = 0;
        // The directive's current value as the engine's integer reader makes it.
        virtual int64_t integer(const std::string& name) const = 0;
    };

    // Outcome of reading the directives.
    enum class Result {
        Read,              // every directive read into the record
        MissingInstallDir  // "qx.install_dir" has no value or an empty one: nothing else read
    };

    // The 19 directives in registration order.
    static const std::vector<Entry>& table();

    // Reads every directive into `globals` in the fixed order: install dir,
    // log file ("$(INSTALL_DIR)" expanded), log level, thresholds, channel,
    // then the bounded and boolean ones. Values out of bounds are clamped and
    // texts that are no number are read as the engine reads them; each such
    // case adds one line to `warnings` (the log is not open yet while this runs).
    static Result read(const Source& source, QuilletGlobals& globals, std::vector<std::wstring>& warnings);

    // Bounded unsigned reading: any value above `bound`, and every negative
    // value, becomes `bound`.
    static uint64_t clampUnsigned(int64_t value, uint64_t bound);
    // The engine's boolean reading: on when the low 8 bits are not zero.
    static bool toBool(int64_t value);
    // True when the text is a whole integer as the engine's reader takes it
    // (optional blanks and sign, decimal, 0x hex or 0 octal digits, nothing after).
    static bool isWholeNumber(const std::string& text);
};
