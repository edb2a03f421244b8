#include "extension/sql/SqlHandlerSupport.h"

#include "php.h"

#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/Manager.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/sql/ZSqlHandlerBase.h"

namespace sqlsupport {

bool callFailed(zval* returnValue)
{
    if (EG(exception) != nullptr)
        return true;
    return returnValue != nullptr && Z_TYPE_P(returnValue) == IS_FALSE;
}

int maxMessageLength()
{
    return Manager::messageCut();
}

std::size_t messageBytesRead()
{
    const int limit = maxMessageLength();
    return limit > 0 ? static_cast<std::size_t>(limit) + 1 : static_cast<std::size_t>(-1);
}

void takePendingException(ZPHPException& error)
{
    zend_object* pending = EG(exception);
    if (pending == nullptr)
        return;
    if (pending->ce != nullptr && pending->ce->name != nullptr)
        error.type = vorn::printedName(pending->ce->name);
    if (error.message.empty()) {
        zval object;
        ZVAL_OBJ(&object, pending);
        error.setErrorMessage(ZSqlHandlerBase::readObjectStringProperty(&object, "message", "", messageBytesRead()),
                              maxMessageLength());
    }
}

std::string latin1Bytes(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t c : text)
        bytes += static_cast<char>(static_cast<unsigned char>(c & 0xff));
    return bytes;
}

void reportFailedCall(zend_execute_data* executeData, const timeval& start, const timeval& end,
                      const ZPHPException& error)
{
    Manager* manager = InternalFunctionHandlerBase::_manager;
    if (manager == nullptr || !InternalFunctionHandlerBase::collecting()
        || InternalFunctionHandlerBase::isLimitReached())
        return;
    ZSqlHandlerBase::addFailedCallEvents(executeData, start, end, error, manager->depth);
}

void logSqlRefused()
{
    Manager::LOG.logDbg1("Maximum SQL limit reached - this SQL will not be reported");
}

} // namespace sqlsupport
