#include "extension/sql/ZMySQLiHandler.h"

ZMySQLiHandler::ZMySQLiHandler() = default;

ZMySQLiHandler::~ZMySQLiHandler() = default;
