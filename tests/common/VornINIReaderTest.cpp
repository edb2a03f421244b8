#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>
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

// Editors that save UTF-8 may put a byte-order mark first; it must not hide
// the first header (whose section would otherwise be merged into the unnamed one).
TEST_F(VornINIReaderTest, ByteOrderMarkBeforeTheFirstHeaderIsSkipped)
{
    load("\xEF\xBB\xBF[first]\nmethod=f\n");
    const auto s = sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(s[0]->values.empty());
    EXPECT_EQ(s[1]->name, L"first");
    EXPECT_EQ(s[1]->values.at(L"method"), L"f");
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

// A FIFO in the point file's place must not hold the module start-up until a
// writer appears, and a device (an endless stream without line ends) must not
// be read: both count as a file that cannot be opened.
TEST_F(VornINIReaderTest, FifoOrDeviceInTheFilesPlaceIsRefusedWithoutBlocking)
{
    const std::string fifo = tmp.file("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::promise<std::string> outcome;
    std::future<std::string> done = outcome.get_future();
    std::thread reading([&] {
        VornINIReader local;
        try {
            local.load(std::wstring(fifo.begin(), fifo.end()), log);
            outcome.set_value("read");
        } catch (const zException& e) {
            outcome.set_value(e.message);
        }
    });
    const bool finished = done.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!finished) {
        // Release the blocked reader so that the test itself ends.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    reading.join();
    ASSERT_TRUE(finished) << "loading a FIFO blocked";
    EXPECT_EQ(done.get(), "Failed to open file");

    const std::string device = tmp.file("zero.ini");
    ASSERT_EQ(::symlink("/dev/zero", device.c_str()), 0);
    try {
        reader.load(std::wstring(device.begin(), device.end()), log);
        FAIL() << "expected zException";
    } catch (const zException& e) {
        EXPECT_EQ(e.message, "Failed to open file");
    }
    EXPECT_TRUE(reader.sections.empty());
}

// A regular file is read up to a bound; what lies beyond is ignored with a
// warning instead of being held in memory as one endless line.
TEST_F(VornINIReaderTest, OversizedFileIsReadUpToItsBoundWithAWarning)
{
    std::string content = "[first]\nkey=value\n";
    content.append(VornINIReader::MAX_FILE_BYTES, 'x');
    content += "\n[beyond]\n";
    load(content);
    const auto s = sections();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1]->name, L"first");
    EXPECT_EQ(s[1]->values.count(L"key"), 1u);
    bool warned = false;
    for (const std::string& line : logLines())
        warned = warned || line.find("bytes; the rest is ignored") != std::string::npos;
    EXPECT_TRUE(warned);
}
