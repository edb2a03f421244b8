#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "daemon/DaemonConfig.h"

namespace fs = std::filesystem;

namespace {

// An installation folder with etc/qx-daemon.ini, removed afterwards.
class ConfigFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qx-daemon-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root + "/etc");
        char host[1024] = {0};
        gethostname(host, sizeof host - 1);
        hostname = vorn::toUtf(host);
    }
    void TearDown() override { fs::remove_all(root); }

    void write(const std::string& text)
    {
        std::ofstream(root + "/etc/qx-daemon.ini", std::ios::binary) << text;
    }
    DaemonConfig load(const std::string& text)
    {
        write(text);
        DaemonConfig config;
        config.load(vorn::fromUtf8(root));
        return config;
    }
    std::string loadError(const std::string& dir)
    {
        try {
            DaemonConfig config;
            config.load(vorn::fromUtf8(dir));
        } catch (const zException& e) {
            return e.message;
        }
        return "no error";
    }

    std::string root;
    std::wstring hostname;
};

TEST_F(ConfigFolder, SectionOnlyGivesEveryDefault)
{
    DaemonConfig c = load("[daemon]\n");
    EXPECT_EQ(c.logLevel, 0);
    EXPECT_EQ(c.logFile, L"/tmp/qx_php_agent.log");
    EXPECT_EQ(c.retryInterval, 60);
    EXPECT_EQ(c.registerUrl, L"http://127.0.0.1:45000/commander/registrar/register");
    EXPECT_EQ(c.healthCheckUrl, L"http://127.0.0.1");
    EXPECT_EQ(c.hostname, hostname);
    EXPECT_EQ(c.probeName, hostname + L".PHP");
    EXPECT_EQ(c.fqdn.compare(0, hostname.size(), hostname), 0);
}

TEST_F(ConfigFolder, ReadsEveryKeyAndIgnoresOthers)
{
    DaemonConfig c = load("; comment\n[other]\nlog_level = 2\n[daemon]\n# comment\nlog_level = 4\n"
                          "log_file = /var/log/d.log\nretry_interval = 5\nregister_url = http://pa:1/r\n"
                          "health_check_url = http://web:8080/ping\nprobe_name = shop\nunknown = 1\n");
    EXPECT_EQ(c.logLevel, 4);
    EXPECT_EQ(c.logFile, L"/var/log/d.log");
    EXPECT_EQ(c.retryInterval, 5);
    EXPECT_EQ(c.registerUrl, L"http://pa:1/r");
    EXPECT_EQ(c.healthCheckUrl, L"http://web:8080/ping");
    EXPECT_EQ(c.probeName, L"shop");
}

TEST_F(ConfigFolder, ExpandsMacrosOnceEach)
{
    DaemonConfig c = load("[daemon]\nlog_file = $(INSTALL_DIR)/log/$(INSTALL_DIR).log\n"
                          "health_check_url = http://127.0.0.1:8080/x\n"
                          "probe_name = $(MACHINENAME)-$(WEBSERVER_PORT)-$(MACHINENAME)\n");
    EXPECT_EQ(c.logFile, vorn::fromUtf8(root) + L"/log/$(INSTALL_DIR).log");
    EXPECT_EQ(c.probeName, hostname + L"-8080-$(MACHINENAME)");

    c = load("[daemon]\nprobe_name = $(MACHINENAME)-$(WEBSERVER_PORT)\nhealth_check_url = https://web/\n");
    EXPECT_EQ(c.probeName, hostname + L"-80");
}

TEST_F(ConfigFolder, WrongTypesAndMisplacedKeysTakeDefaults)
{
    DaemonConfig c = load("log_level = 4\n[daemon]\nretry_interval = 10s\n");
    EXPECT_EQ(c.logLevel, 0);
    EXPECT_EQ(c.retryInterval, 60);
    c = load("[daemon]\nlog_level = 99999999999999\nretry_interval = 0\n");
    EXPECT_EQ(c.logLevel, 0);
    EXPECT_EQ(c.retryInterval, 0);
}

TEST_F(ConfigFolder, NegativeRetryIntervalTakesDefault)
{
    EXPECT_EQ(load("[daemon]\nretry_interval = -5\n").retryInterval, 60);
}

TEST_F(ConfigFolder, Utf8TextAndPathsPassThroughUnchanged)
{
    const std::string folder = root + "/d\xC3\xA9j\xC3\xA0";
    fs::create_directories(folder + "/etc");
    std::ofstream(folder + "/etc/qx-daemon.ini", std::ios::binary)
        << "\xEF\xBB\xBF[daemon]\nprobe_name = caf\xC3\xA9\nlog_file = $(INSTALL_DIR)/l.log\n";
    DaemonConfig c;
    c.load(vorn::fromUtf8(folder));
    EXPECT_EQ(c.probeName, L"caf\u00e9");
    EXPECT_EQ(vorn::fromUtf(c.logFile), folder + "/l.log");
}

TEST_F(ConfigFolder, ErrorsNameTheFileAndTheFault)
{
    EXPECT_EQ(loadError(root + "/none"),
              "Unable to open configuration file: " + root + "/none/etc/qx-daemon.ini. No such file");

    write("[daemon]\nlog_level = 1\nno equals sign here\n");
    std::string e = loadError(root);
    EXPECT_NE(e.find("(3): '=' character not found in line"), std::string::npos) << e;

    write("[daemon]\na = 1\na = 2\n");
    EXPECT_NE(loadError(root).find("duplicate key name"), std::string::npos);

    write("[daemon]\nprobe_name = caf\xE9\n");
    EXPECT_NE(loadError(root).find("(2): text is not valid UTF-8"), std::string::npos);

    write("[daemon]\n; " + std::string(1024 * 1024, 'x') + "\n");
    EXPECT_NE(loadError(root).find("too large"), std::string::npos);
}

// A file that is there but cannot be read is refused, naming it and why,
// rather than silently run on the defaults; an empty file gives the defaults.
TEST_F(ConfigFolder, UnreadableFileIsRefusedNamingItAndWhy)
{
    const std::string ini = root + "/etc/qx-daemon.ini";
    const std::string notRegular = "Unable to open configuration file: " + ini + ". Not a regular file";
    fs::create_directories(ini);
    EXPECT_EQ(loadError(root), notRegular);

    // A FIFO with no writer must not hold start-up.
    fs::remove(ini);
    ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    EXPECT_EQ(loadError(root), notRegular);

    fs::remove(ini);
    fs::create_symlink("/dev/null", ini);
    EXPECT_EQ(loadError(root), notRegular);

    fs::remove(ini);
    EXPECT_EQ(load("").retryInterval, 60);
    if (geteuid() != 0) {  // root opens anything
        chmod(ini.c_str(), 0);
        EXPECT_EQ(loadError(root), "Unable to open configuration file: " + ini + ". Permission denied");
    }
}

} // namespace
