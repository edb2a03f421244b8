#include "extension/sql/ZDbPreparedStatement.h"

ZDbPreparedStatement::ZDbPreparedStatement() = default;

ZDbPreparedStatement::~ZDbPreparedStatement() = default;
