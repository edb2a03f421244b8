#include "TempDir.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

TempDir::TempDir()
{
    std::string templ = "/tmp/vorn_common_test_" + std::to_string(getpid()) + "_XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = templ;
}

TempDir::~TempDir()
{
    boost::system::error_code ec;
    boost::filesystem::remove_all(dir, ec);
}

void TempDir::writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::out | std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::readFile(const std::string& path)
{
    std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
