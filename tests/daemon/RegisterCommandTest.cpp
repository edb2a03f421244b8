#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "common/VornUtils.h"
#include "daemon/RegisterCommand.h"
#include "daemon/VornJSON.h"

namespace {

DaemonConfig sampleConfig()
{
    DaemonConfig config;
    config.probeName = L"shop-\u00e9\u4e2d.PHP";
    config.fqdn = L"web1.example.org";
    return config;
}

TEST(RegisterCommand, DocumentHasTheMembersInOrder)
{
    VornLog log;
    RegisterCommand command(sampleConfig(), log);
    const std::string text = vorn::fromUtf(command.payload());

    cJSON* root = cJSON_Parse(text.c_str());
    ASSERT_NE(root, nullptr) << text;
    const std::vector<std::string> keys = {
        "infoType", "genericStringAttributes", "genericNumericAttributes", "flags", "componentID", "name",
        "host", "port", "protocol", "type", "lanID", "systemDescription", "installDir", "technologyType",
        "componentVersion", "uptime", "logFiles", "jvmDescription", "mode", "pointsFile", "propertyFiles",
        "properties"};
    std::vector<std::string> seen;
    for (cJSON* item = root->child; item; item = item->next)
        seen.push_back(item->string);
    EXPECT_EQ(seen, keys);

    auto str = [&](const char* key) { return std::string(cJSON_GetObjectItemCaseSensitive(root, key)->valuestring); };
    EXPECT_EQ(str("name"), "shop-\xC3\xA9\xE4\xB8\xAD.PHP");
    EXPECT_EQ(str("host"), "web1.example.org");
    EXPECT_EQ(str("protocol"), "http");
    EXPECT_EQ(str("type"), "probe");
    EXPECT_EQ(str("lanID"), "Default");
    EXPECT_EQ(str("componentVersion"), "0.1.336");
    EXPECT_EQ(str("mode"), "Enterprise");
    EXPECT_EQ(str("logFiles"), "");
    EXPECT_EQ(str("properties"), "");
    EXPECT_EQ(str("systemDescription"), vorn::fromUtf(vorn::getSystemSpec()));
    EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItem(root, "genericStringAttributes")));
    EXPECT_EQ(cJSON_GetObjectItem(root, "genericNumericAttributes")->child, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "technologyType")->valuedouble, 10);
    cJSON_Delete(root);

    // Integral numbers print without a fraction.
    EXPECT_NE(text.find("\"infoType\":\t1,"), std::string::npos);
    EXPECT_NE(text.find("\"flags\":\t0,"), std::string::npos);
    EXPECT_NE(text.find("\"port\":\t0,"), std::string::npos);
    EXPECT_NE(text.find("\"technologyType\":\t10,"), std::string::npos);
}

TEST(RegisterCommand, ComponentIdIsNameDotSeconds)
{
    VornLog log;
    const long long before = std::time(nullptr);
    RegisterCommand command(sampleConfig(), log);
    const long long after = std::time(nullptr);
    const std::wstring prefix = L"shop-\u00e9\u4e2d.PHP.";
    ASSERT_EQ(command.componentID.compare(0, prefix.size(), prefix), 0);
    const long long seconds = std::stoll(command.componentID.substr(prefix.size()));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(command.name, L"shop-\u00e9\u4e2d.PHP");
    EXPECT_EQ(command.flags, 0);
    EXPECT_EQ(command.port, 0);
    EXPECT_GE(command.uptime, 0);
}

TEST(RegisterCommand, InstallDirIsTheWorkingFolderByteForByte)
{
    char pattern[] = "/tmp/qx-daemon-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = std::string(pattern) + "/\xC3\xBC\xE2\x82\xAC";
    std::filesystem::create_directories(folder);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    VornLog log;
    RegisterCommand command(sampleConfig(), log);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(pattern);
    EXPECT_EQ(vorn::fromUtf(command.installDir), folder);
}

TEST(zJSON, ArraysAndOwnership)
{
    zJSON* root = zJSON::create(zJSON::Object, true);
    zJSON* list = zJSON::create(zJSON::Array, false);
    list->arrayAdd(L"a\"b");
    list->arrayAdd(7LL);
    zJSON* inner = zJSON::create(zJSON::Object, false);
    inner->add(L"k", L"v");
    list->arrayAdd(inner);
    root->add(L"list", list);
    root->add(L"big", 1234567890123LL);
    char* printed = cJSON_PrintUnformatted(root->item());
    EXPECT_STREQ(printed, "{\"list\":[\"a\\\"b\",7,{\"k\":\"v\"}],\"big\":1234567890123}");
    free(printed);
    zJSON::destroy(root);   // deletes the whole tree
    zJSON::destroy(list);   // wrappers only
    zJSON::destroy(inner);
}

} // namespace
