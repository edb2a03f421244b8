#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "extension/sql/ZDbConnectionInfo.h"

// A statement that a script prepared (or parsed) on a known connection: the
// statement value's id, the connection it belongs to and the SQL text given to
// prepare, unreduced.
class ZDbPreparedStatement {
public:
    virtual ~ZDbPreparedStatement() = default;

    uint64_t id = 0;
    boost::shared_ptr<ZDbConnectionInfo> connection;
    std::string sql;
};
