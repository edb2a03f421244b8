#pragma once

#include <cstddef>
#include <string>

// Reduction of SQL texts by qx.sql_mode (placeholder until the literal
// scanner lands: mode 2 reports the text unreduced).
bool sqlReduceText(const std::string& sql, int sqlMode, std::string& reduced);

// A text that is safe to write into one log line.
std::string sqlLogText(const std::string& text, std::size_t maxBytes = 4096);
