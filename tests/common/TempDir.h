#pragma once

#include <string>

// A fresh directory under /tmp named after the test process, removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

    static void writeFile(const std::string& path, const std::string& bytes);
    static std::string readFile(const std::string& path);

private:
    std::string dir;
};
