#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/VornUtils.h"
#include "extension/config/QuilletDirectives.h"
#include "extension/config/VornMacros.h"

namespace {

// Directive values as php.ini would give them: registered defaults, overridden
// per test. Integers are read the way the engine's reader reads them (strtol,
// base 0).
class MapSource : public QuilletDirectives::Source {
public:
    MapSource()
    {
        for (const auto& entry : QuilletDirectives::table())
            values[entry.name] = entry.defaultText;
    }

    bool text(const std::string& name, std::string& value) const override
    {
        auto it = values.find(name);
        if (it == values.end())
            return false;
        value = it->second;
        return true;
    }

    int64_t integer(const std::string& name) const override
    {
        auto it = values.find(name);
        if (it == values.end())
            return 0;
        return std::strtoll(it->second.c_str(), nullptr, 0);
    }

    std::map<std::string, std::string> values;
};

struct Read {
    QuilletDirectives::Result result;
    QuilletGlobals globals;
    std::vector<std::wstring> warnings;
};

Read readWith(const std::map<std::string, std::string>& overrides)
{
    MapSource source;
    for (const auto& kv : overrides)
        source.values[kv.first] = kv.second;
    Read r;
    r.result = QuilletDirectives::read(source, r.globals, r.warnings);
    return r;
}

TEST(QuilletDirectives, TableHasTheNineteenDirectivesInOrder)
{
    const auto& table = QuilletDirectives::table();
    ASSERT_EQ(19u, table.size());
    EXPECT_STREQ("qx.log_file", table.front().name);
    EXPECT_STREQ("/tmp/qxagent_ext.log", table.front().defaultText);
    EXPECT_STREQ("qx.install_dir", table[15].name);
    EXPECT_STREQ("/opt/qx", table[15].defaultText);
    EXPECT_STREQ("qx.crossvm_sampling", table.back().name);
}

TEST(QuilletDirectives, DefaultsGiveTheBuiltInConfiguration)
{
    Read r = readWith({});
    ASSERT_EQ(QuilletDirectives::Result::Read, r.result);
    const QuilletGlobals& g = r.globals;
    EXPECT_EQ(L"/tmp/qxagent_ext.log", g.log_file);
    EXPECT_EQ(L"/opt/qx", g.install_dir);
    EXPECT_EQ(L"127.0.0.1", g.events_channel_ip);
    EXPECT_EQ(2626, g.events_channel_port);
    EXPECT_EQ(0, g.log_level);
    EXPECT_EQ(50, g.slow_function_threshold);
    EXPECT_EQ(50, g.slow_sql_threshold);
    EXPECT_EQ(100u, g.max_exceptions);
    EXPECT_EQ(100u, g.exception_max_frames);
    EXPECT_FALSE(g.use_event_channel_null);
    EXPECT_EQ(50u, g.max_functions_depth);
    EXPECT_EQ(1000u, g.max_functions);
    EXPECT_EQ(2, g.sql_mode);
    EXPECT_EQ(1000, g.max_uris);
    EXPECT_EQ(100u, g.exception_max_message_length);
    EXPECT_TRUE(g.enable_crossvm);
    EXPECT_EQ(45, g.crossvm_sampling);
    EXPECT_TRUE(r.warnings.empty());
}

TEST(QuilletDirectives, MissingOrEmptyInstallDirStopsReading)
{
    MapSource source;
    source.values.erase("qx.install_dir");
    QuilletGlobals g;
    std::vector<std::wstring> warnings;
    EXPECT_EQ(QuilletDirectives::Result::MissingInstallDir, QuilletDirectives::read(source, g, warnings));
    EXPECT_TRUE(g.log_file.empty());

    // An empty value would make every path start at the root of the file system.
    Read r = readWith({{"qx.install_dir", ""}, {"qx.log_level", "4"}});
    EXPECT_EQ(QuilletDirectives::Result::MissingInstallDir, r.result);
    EXPECT_TRUE(r.globals.install_dir.empty());
    EXPECT_EQ(0, r.globals.log_level);  // nothing else was read
}

TEST(QuilletDirectives, BoundsClampLargeAndNegativeValues)
{
    Read r = readWith({{"qx.max_functions", "-1"},
                       {"qx.exception_max_frames", "250"},
                       {"qx.max_exceptions", "1001"},
                       {"qx.exception_max_message_length", "-5"},
                       {"qx.max_uris", "-1"},
                       {"qx.max_functions_depth", "101"}});
    EXPECT_EQ(5000u, r.globals.max_functions);
    EXPECT_EQ(100u, r.globals.exception_max_frames);
    EXPECT_EQ(1000u, r.globals.max_exceptions);
    EXPECT_EQ(1000u, r.globals.exception_max_message_length);
    EXPECT_EQ(1000, r.globals.max_uris);
    EXPECT_EQ(100u, r.globals.max_functions_depth);
    EXPECT_EQ(6u, r.warnings.size());

    r = readWith({{"qx.max_functions", "7000"}, {"qx.max_uris", "0"}});
    EXPECT_EQ(5000u, r.globals.max_functions);
    EXPECT_EQ(0, r.globals.max_uris);
    r = readWith({{"qx.max_functions", "0"}, {"qx.max_functions_depth", "100"}});
    EXPECT_EQ(0u, r.globals.max_functions);
    EXPECT_EQ(100u, r.globals.max_functions_depth);
    EXPECT_TRUE(r.warnings.empty());
}

TEST(QuilletDirectives, MaxUrisBeyond32BitsIsOutOfBoundsLikeTheOthers)
{
    // 2^32 + 1 and -2^32 have low 32 bits within the bound; the whole value is not.
    for (const char* text : {"4294967297", "-4294967296"}) {
        Read r = readWith({{"qx.max_uris", text}});
        EXPECT_EQ(1000, r.globals.max_uris) << text;
        ASSERT_EQ(1u, r.warnings.size()) << text;
        EXPECT_EQ(L"Directive qx.max_uris: " + vorn::toUtf(text) + L" is out of bounds, using 1000", r.warnings[0]);
    }
}

TEST(QuilletDirectives, SamplingNegativeBecomes45AndZeroStays)
{
    EXPECT_EQ(45, readWith({{"qx.crossvm_sampling", "-10"}}).globals.crossvm_sampling);
    EXPECT_EQ(0, readWith({{"qx.crossvm_sampling", "0"}}).globals.crossvm_sampling);
    EXPECT_EQ(600, readWith({{"qx.crossvm_sampling", "600"}}).globals.crossvm_sampling);
}

TEST(QuilletDirectives, BooleansReadTheLowByte)
{
    EXPECT_FALSE(readWith({{"qx.enable_crossvm", "256"}}).globals.enable_crossvm);
    EXPECT_TRUE(readWith({{"qx.enable_crossvm", "2"}}).globals.enable_crossvm);
    EXPECT_FALSE(readWith({{"qx.enable_crossvm", "0"}}).globals.enable_crossvm);
    EXPECT_TRUE(readWith({{"qx.use_event_channel_null", "1"}}).globals.use_event_channel_null);
    Read r = readWith({{"qx.enable_crossvm", "256"}});
    ASSERT_EQ(1u, r.warnings.size());
    EXPECT_NE(std::wstring::npos, r.warnings[0].find(L"qx.enable_crossvm"));
}

TEST(QuilletDirectives, BooleanOffAsPhpIniHandsItOnIsReadWithoutWarning)
{
    // php.ini's Off, No, False and None reach the extension as the empty text.
    Read r = readWith({{"qx.enable_crossvm", ""}, {"qx.use_event_channel_null", ""}});
    EXPECT_FALSE(r.globals.enable_crossvm);
    EXPECT_FALSE(r.globals.use_event_channel_null);
    EXPECT_TRUE(r.warnings.empty());
    // An empty number is still worth a line.
    r = readWith({{"qx.max_functions", ""}});
    EXPECT_EQ(0u, r.globals.max_functions);
    EXPECT_EQ(1u, r.warnings.size());
}

TEST(QuilletDirectives, PortAndLevelAreStoredUnchangedEvenNegative)
{
    Read r = readWith({{"qx.events_channel_port", "-7"}, {"qx.log_level", "-1"}});
    EXPECT_EQ(-7, r.globals.events_channel_port);
    EXPECT_EQ(-1, r.globals.log_level);
    // A port that cannot work is worth a line in the log.
    ASSERT_EQ(1u, r.warnings.size());
    EXPECT_NE(std::wstring::npos, r.warnings[0].find(L"qx.events_channel_port"));
}

TEST(QuilletDirectives, TextThatIsNoNumberIsReadAsTheEngineReadsItAndWarned)
{
    Read r = readWith({{"qx.max_functions", "many"}, {"qx.slow_function_threshold", "12ms"}});
    EXPECT_EQ(0u, r.globals.max_functions);
    EXPECT_EQ(12, r.globals.slow_function_threshold);
    ASSERT_EQ(2u, r.warnings.size());
    EXPECT_NE(std::wstring::npos, r.warnings[0].find(L"'12ms' is not a number"));
    EXPECT_NE(std::wstring::npos, r.warnings[1].find(L"'many' is not a number"));
}

TEST(QuilletDirectives, WholeNumberRecognisesTheEngineForms)
{
    EXPECT_TRUE(QuilletDirectives::isWholeNumber("42"));
    EXPECT_TRUE(QuilletDirectives::isWholeNumber(" -42 "));
    EXPECT_TRUE(QuilletDirectives::isWholeNumber("0x1F"));
    EXPECT_TRUE(QuilletDirectives::isWholeNumber("017"));
    EXPECT_TRUE(QuilletDirectives::isWholeNumber("0"));
    EXPECT_FALSE(QuilletDirectives::isWholeNumber(""));
    EXPECT_FALSE(QuilletDirectives::isWholeNumber("08"));
    EXPECT_FALSE(QuilletDirectives::isWholeNumber("0x"));
    EXPECT_FALSE(QuilletDirectives::isWholeNumber("1.5"));
    EXPECT_FALSE(QuilletDirectives::isWholeNumber("on"));
}

TEST(QuilletDirectives, LogFileExpandsTheFirstInstallDirMacroOnly)
{
    Read r = readWith({{"qx.install_dir", "/srv/qx"}, {"qx.log_file", "$(INSTALL_DIR)/log/ext.log"}});
    EXPECT_EQ(L"/srv/qx/log/ext.log", r.globals.log_file);
    r = readWith({{"qx.log_file", "$(INSTALL_DIR)/$(INSTALL_DIR).log"}});
    EXPECT_EQ(L"/opt/qx/$(INSTALL_DIR).log", r.globals.log_file);
    r = readWith({{"qx.log_file", "$(INSTALL_DIR)"}});
    EXPECT_EQ(L"/opt/qx", r.globals.log_file);
    r = readWith({{"qx.log_file", "/var/log/qx.log"}});
    EXPECT_EQ(L"/var/log/qx.log", r.globals.log_file);
}

TEST(QuilletDirectives, TextsAreReadAsLatin1)
{
    Read r = readWith({{"qx.install_dir", "/opt/\xE9t\xE9"}});
    EXPECT_EQ(std::wstring(L"/opt/\u00E9t\u00E9"), r.globals.install_dir);
}

TEST(VornMacros, ExpandLeavesTheArgumentAndUnknownMacrosAlone)
{
    const std::wstring text = L"$(HOME)/$(INSTALL_DIR)";
    EXPECT_EQ(L"$(HOME)//opt/qx", vorn::expandMacros(text, L"/opt/qx"));
    EXPECT_EQ(L"$(HOME)/$(INSTALL_DIR)", text);
    EXPECT_EQ(L"", vorn::expandMacros(L"", L"/opt/qx"));
}

} // namespace
