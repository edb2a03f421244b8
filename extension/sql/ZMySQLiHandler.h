#pragma once

#include "extension/sql/ZSqlHandlerBase.h"

// The mysqli handler. Its hook table is empty until its handlers exist: it
// takes over no function yet.
class ZMySQLiHandler : public ZSqlHandlerBase {
public:
    ZMySQLiHandler();
    ~ZMySQLiHandler() override;
};
