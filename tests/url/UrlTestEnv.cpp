#include "tests/url/UrlTestEnv.h"

#include "common/VornUtils.h"
#include "extension/url/ZNamedSemaphore.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic<int> counter{0};
}

UrlTestEnv::UrlTestEnv()
{
    char pattern[] = "/tmp/quillet-url-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    installDir = pattern;
    tmpDir = installDir + "/tmp";
    mkdir(tmpDir.c_str(), 0755);
    mkdir((installDir + "/etc").c_str(), 0755);
    semName = "/qxurl-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    ZNamedSemaphore::remove(semName);

    logPath = installDir + "/quillet.log";
    log.path = vorn::toUtf(logPath);
    log.level = 4;
    log.open();

    globals.install_dir = vorn::toUtf(installDir);
    globals.log_level = 4;
}

UrlTestEnv::~UrlTestEnv()
{
    if (log.file) {
        std::fclose(log.file);
        log.file = nullptr;
    }
    ZNamedSemaphore::remove(semName);
    const std::string cmd = "rm -rf '" + installDir + "'";
    if (std::system(cmd.c_str()) != 0)
        std::perror("cleanup");
}

void UrlTestEnv::writeRegexFile(const std::string& content) const
{
    std::ofstream out(installDir + "/etc/url-regex.txt", std::ios::binary | std::ios::trunc);
    out << content;
}

std::string UrlTestEnv::logText() const
{
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int UrlTestEnv::countLines(const std::string& text) const
{
    std::istringstream in(logText());
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}
