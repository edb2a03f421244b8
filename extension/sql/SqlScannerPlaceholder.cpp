#include "extension/sql/SqlScannerAPI.h"

void* sqlLexerNew(const std::string&)
{
    return nullptr;
}

bool sqlLexerNext(void*, SqlLexerToken& token)
{
    token.text = "";
    token.type = 0;
    return false;
}

void sqlLexerDestroy(void*& handle)
{
    handle = nullptr;
}
