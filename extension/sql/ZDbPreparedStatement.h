#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "extension/sql/ZDbConnectionInfo.h"

// A statement prepared or parsed on a known connection: the id of the PHP
// statement value, the connection's description and the SQL text given (the
// part of it that its reduction reads, sqlTextHead).
class ZDbPreparedStatement {
public:
    ZDbPreparedStatement();
    virtual ~ZDbPreparedStatement();

    uint64_t id = 0;
    std::shared_ptr<ZDbConnectionInfo> connection;
    std::string sql;
};
