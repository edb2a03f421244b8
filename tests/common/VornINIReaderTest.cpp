#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "TempDir.h"
#include "common/VornINIReader.h"
#include "common/VornLog.h"
#include "common/zException.h"

namespace {

class VornINIReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logPath = tmp.file("ini.log");
        log.path = std::wstring(logPath.begin(), logPath.end());
        log.open();
        log.level = 4;
        iniPath = tmp.file("points.ini");
    }

    void load(const std::string& content)
    {
        TempDir::writeFile(iniPath, content);
        reader.load(std::wstring(iniPath.begin(), iniPath.end()), log);
    }

    std::vector<boost::shared_ptr<VornINIReader::Section>> sections() const
    {
        return std::vector<boost::shared_ptr<VornINIReader::Section>>(reader.sections.begin(),
                                                                      reader.sections.end());
    }

    std::vector<std::string> logLines() const
    {
        std::vector<std::string> out;
        const std::string text = TempDir::readFile(logPath);
        const std::regex stamp("^\\[[^\\]]*\\] ");
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            out.push_back(std::regex_replace(text.substr(start, end - start), stamp, ""));
            start = end + 1;
        }
        return out;
    }

    TempDir tmp;
    std::string logPath;
    std::string iniPath;
    VornLog log;
    VornINIReader reader;
};

} // namespace

TEST_F(VornINIReaderTest, KeysBeforeFirstHeaderGoToTheUnnamedSection)
{
    load("a=1\n[s]\nb=2\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0]->name, L"");
    EXPECT_EQ(s[0]->values.at(L"a"), L"1");
    EXPECT_EQ(s[1]->name, L"s");
    EXPECT_EQ(s[1]->values.at(L"b"), L"2");
    const auto lines = logLines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[DBG1] Loading INI file: " + iniPath);
}

TEST_F(VornINIReaderTest, FileWithoutHeadersHasOneUnnamedSection)
{
    load("k=v");
    const auto s = sections();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]->name, L"");
    EXPECT_EQ(s[0]->values.at(L"k"), L"v"); // last line without newline is read
}

TEST_F(VornINIReaderTest, HeaderQuirks)
{
    load("[abc\n[ abc2 ]\n[]\n[abc] x\n[]\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[1]->name, L"ab");
    EXPECT_EQ(s[2]->name, L"abc2");
    EXPECT_EQ(s[3]->name, L"");
    EXPECT_EQ(s[4]->name, L"abc]");
    EXPECT_EQ(s[5]->name, L"");
    const auto lines = logLines();
    // The first "[]" is no duplicate; the second one, on line 5, is.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[WARNING] Duplicate entry found: [  ] at  " + iniPath + " : 5");
}

TEST_F(VornINIReaderTest, RepeatedSectionNamesGiveSeparateSectionsAndAWarning)
{
    load("; comment\n\n[f]\nmethod=a\nmethod=b\n[g]\n[f]\nmethod=c\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1]->values.at(L"method"), L"a");
    EXPECT_EQ(s[3]->name, L"f");
    EXPECT_EQ(s[3]->values.at(L"method"), L"c");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[WARNING] Duplicate entry found: [ f ] at  " + iniPath + " : 7");
}

TEST_F(VornINIReaderTest, KeyValueQuirks)
{
    load("key = a = b\n=v\nk=\nnoequals\n  k2  =  v ;c  \n# x = y\n ; z = w\nk3=v\rmid\r\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 1u);
    const auto& v = s[0]->values;
    EXPECT_EQ(v.at(L"key"), L"a = b");
    EXPECT_EQ(v.at(L""), L"v");
    EXPECT_EQ(v.at(L"k"), L"");
    EXPECT_EQ(v.at(L"k2"), L"v ;c");
    EXPECT_EQ(v.at(L"# x"), L"y");
    EXPECT_EQ(v.count(L"; z"), 0u);
    EXPECT_EQ(v.at(L"k3"), L"v\rmid");
    EXPECT_EQ(v.size(), 6u);
}

TEST_F(VornINIReaderTest, CrLfLineEnds)
{
    load("[s]\r\nk = v\r\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1]->name, L"s");
    EXPECT_EQ(s[1]->values.at(L"k"), L"v");
}

TEST_F(VornINIReaderTest, BytesAboveAsciiAreLatin1AndDoNotEndTheFile)
{
    load("[caf\xE9]\nk=\xFF\xFE\n[after]\nlast=1\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1]->name, L"caf\u00E9");
    EXPECT_EQ(s[1]->values.at(L"k"), std::wstring({wchar_t(0xFF), wchar_t(0xFE)}));
    EXPECT_EQ(s[2]->name, L"after");
    EXPECT_EQ(s[2]->values.at(L"last"), L"1");
}

TEST_F(VornINIReaderTest, EmbeddedNulDoesNotStopReading)
{
    load(std::string("a=1\0x\nb=2\n", 10));
    const auto s = sections();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]->values.count(L"b"), 1u);
}

TEST_F(VornINIReaderTest, MissingFileThrowsAndLeavesNoSections)
{
    load("[old]\n");
    ASSERT_EQ(reader.sections.size(), 2u);
    const std::string missing = tmp.file("missing.ini");
    try {
        reader.load(std::wstring(missing.begin(), missing.end()), log);
        FAIL() << "expected zException";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Failed to open file");
    }
    EXPECT_TRUE(reader.sections.empty());
}

TEST_F(VornINIReaderTest, ReloadStartsFromAnEmptyList)
{
    load("[a]\n[b]\n");
    load("[c]\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1]->name, L"c");
}
