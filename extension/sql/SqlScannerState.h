#pragma once

#include <cstddef>

// Per-scanner state of the generated SQL scanner (its "extra" data), and the
// three entry points that SqlScannerAPI.cpp builds the public API on.
struct SqlScannerState {
    std::size_t position = 0;   // byte offset just past the current token
    std::size_t tokenStart = 0; // byte offset of the current token
    std::size_t horizon = 0;    // end of the last failed quote run
    std::size_t failedRunEnd = 0; // when the current token is a quote whose run failed: that run's end, else 0
    int condition = 0;          // start condition the current token matched in
};

// A scanner over a copy of `length` bytes of `text` (no NUL among them);
// null when it cannot be made. May throw std::bad_alloc.
void* sqlScannerOpen(const char* text, std::size_t length, SqlScannerState* state);
// Next token code (0 at the end) and its NUL-terminated text.
int sqlScannerLex(void* scanner, const char** text);
void sqlScannerClose(void* scanner);
