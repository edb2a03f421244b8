#pragma once

#include "extension/sql/ZSqlHandlerBase.h"

// The OCI8 handler. Its hook table is empty until its handlers exist: it
// takes over no function yet.
class ZOciHandler : public ZSqlHandlerBase {
public:
    ZOciHandler();
    ~ZOciHandler() override;
};
