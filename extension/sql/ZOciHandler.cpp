#include "extension/sql/ZOciHandler.h"

ZOciHandler::ZOciHandler() = default;

ZOciHandler::~ZOciHandler() = default;
