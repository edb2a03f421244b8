#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/VornLog.h"

// A log whose lines land in memory, so tests can read them back.
class MemoryLog {
public:
    explicit MemoryLog(int level)
    {
        stream_ = open_memstream(&data_, &size_);
        log.file = stream_;
        log.level = level;
    }
    ~MemoryLog()
    {
        fclose(stream_);
        free(data_);
    }
    MemoryLog(const MemoryLog&) = delete;
    MemoryLog& operator=(const MemoryLog&) = delete;

    std::string text()
    {
        fflush(stream_);
        return std::string(data_, size_);
    }
    size_t count(const std::string& needle)
    {
        const std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
        return n;
    }
    size_t lines()
    {
        return count("\n");
    }

    VornLog log;

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* stream_ = nullptr;
};
