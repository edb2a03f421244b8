#pragma once

#include <string>

// Interface of the SQL literal scanner (placeholder until the scanner lands:
// no scanner can be created, so texts are reported unreduced).
struct SqlLexerToken {
    const char* text = nullptr;
    int type = 0;
};

void* sqlLexerNew(const std::string& sql);
bool sqlLexerNext(void* handle, SqlLexerToken& token);
void sqlLexerDestroy(void*& handle);
