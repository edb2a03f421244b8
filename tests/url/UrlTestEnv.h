#pragma once

#include "common/VornLog.h"
#include "extension/config/QuilletGlobals.h"

#include <string>

// A private installation folder (with "etc" and "tmp"), a log file in it, and
// names for the shared objects that no other test or installation uses. All of
// it is removed when the environment ends.
class UrlTestEnv {
public:
    UrlTestEnv();
    ~UrlTestEnv();

    UrlTestEnv(const UrlTestEnv&) = delete;
    UrlTestEnv& operator=(const UrlTestEnv&) = delete;

    void writeRegexFile(const std::string& content) const;
    // Whole log written so far.
    std::string logText() const;
    // Number of log lines containing `text`.
    int countLines(const std::string& text) const;
    // Path of the URL table file for the given table name.
    std::string tablePath() const { return tmpDir + "/zshm_" + tableName; }

    std::string installDir;
    std::string tmpDir;
    std::string semName;
    std::string tableName = "UrlTableShm";
    std::string logPath;
    VornLog log;
    QuilletGlobals globals;
};
