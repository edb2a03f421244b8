#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/VornLog.h"
#include "common/zException.h"
#include "extension/model/ZPointFile.h"
#include "tests/support/MemoryLog.h"

namespace fs = boost::filesystem;

namespace {

class PointFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("quillet_points_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "functions.d");
        log.level = -1;  // keep the test output quiet
    }
    void TearDown() override { fs::remove_all(root); }

    void write(const std::string& relative, const std::string& text)
    {
        std::ofstream out((root / relative).string(), std::ios::binary);
        out << text;
    }
    std::wstring dir() const { return root.wstring(); }

    fs::path root;
    VornLog log;
};

} // namespace

TEST_F(PointFileTest, EntriesFromCoreThenAdditionalFiles)
{
    write("core-functions.ini",
          "class=Ignored\n"
          "[pdo query]\nclass=PDO\nmethod=query\nlayer=Database\nextra=1\n"
          "[ ]\nmethod=blank_section\n"
          "[plain]\nClass=PDO\nmethod=MySQLi_Query\n");
    write("functions.d/more.INI", "[more]\nmethod=curl_exec\n");
    write("functions.d/skip.ini.bak", "[skip]\nmethod=nope\n");
    fs::create_directories(root / "functions.d" / "sub.ini");

    ZPointFile points;
    points.load(dir(), log);
    ASSERT_EQ(points.entries.size(), 3u);
    auto it = points.entries.begin();
    const auto& pdo = **it++;
    EXPECT_EQ(pdo.name, L"pdo query");
    EXPECT_EQ(pdo.className, L"PDO");
    EXPECT_EQ(pdo.methodName, L"query");
    EXPECT_EQ(pdo.layer, L"Database");
    EXPECT_EQ(pdo.key, L"pdo::query");
    EXPECT_EQ(pdo.classNameLower, "pdo");
    EXPECT_EQ(pdo.methodNameLower, "query");
    EXPECT_EQ(pdo.flags, 0u);

    // Keys are case-sensitive: "Class" is not "class".
    const auto& plain = **it++;
    EXPECT_TRUE(plain.className.empty());
    EXPECT_EQ(plain.methodName, L"MySQLi_Query");
    EXPECT_EQ(plain.key, L"mysqli_query");

    EXPECT_EQ((*it)->key, L"curl_exec");

    EXPECT_EQ(points.find("query", "pdo"), points.entries.front());
    EXPECT_EQ(points.find("MYSQLI_QUERY", nullptr)->name, L"plain");
    EXPECT_EQ(points.find("mysqli_query", ""), points.find("mysqli_query", nullptr));
    EXPECT_FALSE(points.find("absent", nullptr));

    // Loading again does not duplicate.
    points.load(dir(), log);
    EXPECT_EQ(points.entries.size(), 3u);
}

TEST_F(PointFileTest, SectionWithoutMethodAndDuplicateKeys)
{
    write("core-functions.ini", "[a]\nclass=Foo\n[b]\n[c]\nmethod=f\n[c]\nmethod=f\n");
    ZPointFile points;
    points.load(dir(), log);
    ASSERT_EQ(points.entries.size(), 4u);
    auto it = points.entries.begin();
    EXPECT_EQ((*it++)->key, L"foo::");
    EXPECT_EQ((*it++)->key, L"");
    EXPECT_EQ((*it)->key, L"f");
    EXPECT_EQ(points.find("f", nullptr), *it);  // the first of a key
}

// A missing core file is named in the log; the additional files still load.
TEST_F(PointFileTest, MissingCoreFileIsNamedAndTheAdditionalFilesStillLoad)
{
    write("functions.d/more.ini", "[more]\nmethod=curl_exec\n");
    MemoryLog memory(0);
    ZPointFile points;
    EXPECT_NO_THROW(points.load(dir(), memory.log));
    ASSERT_EQ(points.entries.size(), 1u);
    EXPECT_EQ(points.entries.front()->key, L"curl_exec");
    const std::string text = memory.text();
    EXPECT_NE(text.find("[ERROR] Error while loading Points file: " + (root / "core-functions.ini").string() +
                        " - Failed to open file"),
              std::string::npos) << text;
}

TEST_F(PointFileTest, MissingOrUnreadableAdditionalDirectoryKeepsCoreEntries)
{
    write("core-functions.ini", "[a]\nmethod=f\n");
    fs::remove_all(root / "functions.d");
    ZPointFile points;
    EXPECT_NO_THROW(points.load(dir(), log));
    EXPECT_EQ(points.entries.size(), 1u);

    if (geteuid() != 0) {  // root can list anything
        fs::create_directories(root / "functions.d");
        write("functions.d/more.ini", "[more]\nmethod=g\n");
        chmod((root / "functions.d").c_str(), 0);
        EXPECT_NO_THROW(points.load(dir(), log));
        EXPECT_EQ(points.entries.size(), 1u);
        chmod((root / "functions.d").c_str(), 0755);
    }
}

TEST_F(PointFileTest, GlobMatchesExtensionWithoutCaseAndFollowsLinks)
{
    write("functions.d/a.ini", "");
    write("functions.d/b.Ini", "");
    write("functions.d/c.ini.old", "");
    write("target.ini", "");
    fs::create_symlink(root / "target.ini", root / "functions.d" / "link.ini");
    fs::create_symlink(root / "nowhere.ini", root / "functions.d" / "broken.ini");

    auto paths = ZPointFile::glob(dir() + L"/functions.d", L".INI");
    std::set<std::wstring> names(paths.begin(), paths.end());
    const std::wstring base = dir() + L"/functions.d/";
    EXPECT_EQ(names, (std::set<std::wstring>{base + L"a.ini", base + L"b.Ini", base + L"link.ini"}));
    EXPECT_TRUE(ZPointFile::glob(dir() + L"/absent", L".ini").empty());
}

TEST(PointFileKey, BuildKey)
{
    EXPECT_EQ(ZPointFile::buildKey(L"Query", L"PDO"), L"pdo::query");
    EXPECT_EQ(ZPointFile::buildKey(L"MySQLi_Query", L""), L"mysqli_query");
    EXPECT_EQ(ZPointFile::buildKey("Query", "PDO"), L"pdo::query");
    EXPECT_EQ(ZPointFile::buildKey("f", nullptr), L"f");
}

// The example the README gives works as shown: copied as it stands, it
// lists the function and the method it names, nothing added to the values.
TEST_F(PointFileTest, ReadmeExampleWorksAsShown)
{
    std::ifstream readme(QUILLET_README);
    ASSERT_TRUE(readme.good());
    std::string line;
    while (std::getline(readme, line) && line.rfind("A point file is an INI file", 0) != 0) {
    }
    std::ostringstream example;
    bool inBlock = false;
    while (std::getline(readme, line)) {
        if (line.rfind("    ", 0) == 0) {
            inBlock = true;
            example << line.substr(4) << "\n";
        } else if (inBlock && !line.empty()) {
            break;
        } else if (inBlock) {
            example << "\n";
        }
    }
    write("core-functions.ini", example.str());

    ZPointFile points;
    points.load(dir(), log);
    ASSERT_EQ(points.entries.size(), 2u) << example.str();
    ASSERT_NE(points.find("catalog_lookup", nullptr), nullptr) << example.str();
    EXPECT_EQ(points.find("catalog_lookup", nullptr)->layer, L"Catalog");
    ASSERT_NE(points.find("total", "cart"), nullptr) << example.str();
}
