#include "extension/config/QuilletDirectives.h"

#include <cctype>
#include <limits>

#include "common/VornUtils.h"
#include "extension/config/VornMacros.h"

namespace {

int32_t low32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

std::wstring wide(const std::string& text)
{
    return vorn::toUtf(text);
}

std::wstring number(int64_t value)
{
    return std::to_wstring(value);
}

// Reads one integer directive and notes a text that is no number.
int64_t readInteger(const QuilletDirectives::Source& source, const std::string& name,
                    std::vector<std::wstring>& warnings)
{
    int64_t value = source.integer(name);
    std::string text;
    if (source.text(name, text) && !QuilletDirectives::isWholeNumber(text)) {
        warnings.push_back(L"Directive " + wide(name) + L": '" + wide(text) + L"' is not a number, read as "
                           + number(value));
    }
    return value;
}

// A signed 32-bit directive stored as the low 32 bits of the engine's value.
int32_t readInt32(const QuilletDirectives::Source& source, const std::string& name,
                  std::vector<std::wstring>& warnings)
{
    int64_t value = readInteger(source, name, warnings);
    int32_t stored = low32(value);
    if (stored != value) {
        warnings.push_back(L"Directive " + wide(name) + L": " + number(value)
                           + L" does not fit in 32 bits, read as " + number(stored));
    }
    return stored;
}

uint64_t readBounded(const QuilletDirectives::Source& source, const std::string& name, uint64_t bound,
                     std::vector<std::wstring>& warnings)
{
    int64_t value = readInteger(source, name, warnings);
    uint64_t stored = QuilletDirectives::clampUnsigned(value, bound);
    if (static_cast<uint64_t>(value) != stored) {
        warnings.push_back(L"Directive " + wide(name) + L": " + number(value) + L" is out of bounds, using "
                           + std::to_wstring(stored));
    }
    return stored;
}

bool readBool(const QuilletDirectives::Source& source, const std::string& name,
              std::vector<std::wstring>& warnings)
{
    // php.ini spells off as Off, No, False or None, which its parser hands on
    // as the empty text: that is a plain off, nothing to warn about.
    std::string text;
    if (source.text(name, text) && text.empty())
        return QuilletDirectives::toBool(source.integer(name));
    int64_t value = readInteger(source, name, warnings);
    bool on = QuilletDirectives::toBool(value);
    if (value != 0 && value != 1) {
        warnings.push_back(L"Directive " + wide(name) + L": " + number(value) + L" is not 0 or 1, read as "
                           + (on ? L"on" : L"off"));
    }
    return on;
}

std::wstring readText(const QuilletDirectives::Source& source, const std::string& name)
{
    std::string text;
    if (!source.text(name, text))
        return std::wstring();
    return wide(text);
}

} // namespace

const std::vector<QuilletDirectives::Entry>& QuilletDirectives::table()
{
    static const std::vector<Entry> entries = {
        {"qx.log_file", "/tmp/qxagent_ext.log"},
        {"qx.log_level", "0"},
        {"qx.events_channel_ip", "127.0.0.1"},
        {"qx.events_channel_port", "2626"},
        {"qx.point_file", ""},
        {"qx.slow_function_threshold", "50"},
        {"qx.slow_sql_threshold", "50"},
        {"qx.max_exceptions", "100"},
        {"qx.exception_max_frames", "100"},
        {"qx.use_event_channel_null", "0"},
        {"qx.max_functions_depth", "50"},
        {"qx.max_functions", "1000"},
        {"qx.sql_mode", "2"},
        {"qx.max_sqls", "100"},
        {"qx.max_uris", "1000"},
        {"qx.install_dir", "/opt/qx"},
        {"qx.exception_max_message_length", "100"},
        {"qx.enable_crossvm", "1"},
        {"qx.crossvm_sampling", "45"},
    };
    return entries;
}

QuilletDirectives::Result QuilletDirectives::read(const Source& source, QuilletGlobals& globals,
                                                  std::vector<std::wstring>& warnings)
{
    // An empty installation directory counts as missing: every path built from
    // it would otherwise point at the root of the file system.
    std::string installDir;
    if (!source.text("qx.install_dir", installDir) || installDir.empty())
        return Result::MissingInstallDir;
    globals.install_dir = wide(installDir);

    globals.log_file = vorn::expandMacros(readText(source, "qx.log_file"), globals.install_dir);

    globals.log_level = readInt32(source, "qx.log_level", warnings);
    globals.slow_function_threshold = readInt32(source, "qx.slow_function_threshold", warnings);
    globals.slow_sql_threshold = readInt32(source, "qx.slow_sql_threshold", warnings);

    globals.events_channel_ip = readText(source, "qx.events_channel_ip");
    globals.events_channel_port = readInt32(source, "qx.events_channel_port", warnings);
    if (globals.events_channel_port < 1 || globals.events_channel_port > 65535) {
        warnings.push_back(L"Directive qx.events_channel_port: " + number(globals.events_channel_port)
                           + L" is not a TCP port; connecting to the aggregator will fail");
    }

    globals.max_exceptions = readBounded(source, "qx.max_exceptions", 1000, warnings);
    globals.exception_max_frames = readBounded(source, "qx.exception_max_frames", 100, warnings);
    globals.use_event_channel_null = readBool(source, "qx.use_event_channel_null", warnings);
    globals.max_functions_depth = readBounded(source, "qx.max_functions_depth", 100, warnings);
    globals.max_functions = readBounded(source, "qx.max_functions", 5000, warnings);
    globals.sql_mode = readInt32(source, "qx.sql_mode", warnings);

    // The whole value is compared, as for the other bounded directives: its
    // low 32 bits alone would read 2^32 + 1 as 1. The bound fits the field.
    globals.max_uris = static_cast<int32_t>(readBounded(source, "qx.max_uris", 1000, warnings));

    globals.exception_max_message_length = readBounded(source, "qx.exception_max_message_length", 1000, warnings);
    globals.enable_crossvm = readBool(source, "qx.enable_crossvm", warnings);

    int32_t sampling = readInt32(source, "qx.crossvm_sampling", warnings);
    if (sampling < 0) {
        warnings.push_back(L"Directive qx.crossvm_sampling: " + number(sampling) + L" is negative, using 45");
        sampling = 45;
    }
    globals.crossvm_sampling = sampling;
    return Result::Read;
}

uint64_t QuilletDirectives::clampUnsigned(int64_t value, uint64_t bound)
{
    uint64_t u = static_cast<uint64_t>(value);
    return u > bound ? bound : u;
}

bool QuilletDirectives::toBool(int64_t value)
{
    return static_cast<uint8_t>(static_cast<uint64_t>(value)) != 0;
}

bool QuilletDirectives::isWholeNumber(const std::string& text)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digitsStart = i;
    // Base as the C library's strtol with base 0 picks it: 0x hex, 0 octal.
    int base = 10;
    if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
        digitsStart = i;
    } else if (i < n && text[i] == '0') {
        base = 8;
    }
    auto isDigit = [base](unsigned char c) {
        if (base == 16)
            return std::isxdigit(c) != 0;
        if (base == 8)
            return c >= '0' && c <= '7';
        return std::isdigit(c) != 0;
    };
    while (i < n && isDigit(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == digitsStart)
        return false;
    while (i < n && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    return i == n;
}
