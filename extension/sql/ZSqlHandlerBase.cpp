#include "extension/sql/ZSqlHandlerBase.h"

#include <algorithm>
#include <cstring>

#include <boost/make_shared.hpp>

#include "php.h"

#include "common/VornUtils.h"
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/VornEngine.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/Manager.h"
#include "extension/model/ZInvocationAttributeEvent.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/sql/SqlHandlerSupport.h"
#include "extension/sql/SqlScannerAPI.h"

namespace {

zval* deref(zval* value)
{
    if (value != nullptr && Z_TYPE_P(value) == IS_REFERENCE)
        value = Z_REFVAL_P(value);
    return value;
}

// Id of a registry key: an object's identity or a resource's handle; false
// for any other value.
bool registryId(zval* value, uint64_t& id)
{
    value = deref(value);
    if (value == nullptr)
        return false;
    if (Z_TYPE_P(value) == IS_OBJECT) {
        id = static_cast<uint64_t>(vorn::getObjectId(value));
        return true;
    }
    if (Z_TYPE_P(value) == IS_RESOURCE) {
        id = static_cast<uint64_t>(vorn::getResourceId(value));
        return true;
    }
    return false;
}

// A property of an object, found without running script code: a declared
// slot, then the dynamic properties, then (only for an internal class's own
// property handler, and never when the class has a magic getter) the class's
// read handler in its quiet mode. Null when not found.
zval* silentProperty(zval* value, const char* name, zval* scratch)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_OBJECT || name == nullptr)
        return nullptr;
    zend_object* object = Z_OBJ_P(value);
    const size_t length = std::strlen(name);
    zend_class_entry* ce = object->ce;
    auto* info = static_cast<zend_property_info*>(zend_hash_str_find_ptr(&ce->properties_info, name, length));
    if (info != nullptr && !(info->flags & ZEND_ACC_STATIC) && IS_VALID_PROPERTY_OFFSET(info->offset)) {
        zval* slot = OBJ_PROP(object, info->offset);
        if (Z_TYPE_P(slot) != IS_UNDEF)
            return deref(slot);
    }
    if (object->properties != nullptr) {
        zval* found = zend_hash_str_find(object->properties, name, length);
        if (found != nullptr && Z_TYPE_P(found) == IS_INDIRECT)
            found = Z_INDIRECT_P(found);
        if (found != nullptr && Z_TYPE_P(found) != IS_UNDEF)
            return deref(found);
    }
    if (object->handlers->read_property == zend_std_read_property || ce->__get != nullptr)
        return nullptr;
    // An internal class's own property (mysqli's error texts, for example).
    zval* result = nullptr;
    zend_string* key = zend_string_init(name, length, 0);
    {
        vorn::ScopedExceptionState scriptState;
        const int reporting = EG(error_reporting);
        EG(error_reporting) = 0;
        zend_try {
            result = object->handlers->read_property(object, key, BP_VAR_IS, nullptr, scratch);
        } zend_catch {
            result = nullptr;
            Manager::get().bailoutPending = true;
        } zend_end_try();
        EG(error_reporting) = reporting;
    }
    zend_string_release(key);
    if (result == nullptr || result == &EG(uninitialized_zval))
        return nullptr;
    return deref(result);
}

template <class Registry, class Entry>
void registerEntry(Registry& registry, const Entry& entry)
{
    if (!entry)
        return;
    registry.erase(entry->id);
    if (registry.size() >= ZSqlHandlerBase::MAX_REGISTRY_ENTRIES)
        registry.erase(registry.begin());
    registry.emplace(entry->id, entry);
}

} // namespace

ZSqlHandlerBase::~ZSqlHandlerBase() = default;

ZSqlHandlerBase::ConnectionPtr ZSqlHandlerBase::getConnection(zval* value)
{
    uint64_t id = 0;
    if (!registryId(value, id))
        return ConnectionPtr();
    return getConnectionById(id);
}

ZSqlHandlerBase::ConnectionPtr ZSqlHandlerBase::getConnectionById(uint64_t id) const
{
    auto found = connections.find(id);
    return found == connections.end() ? ConnectionPtr() : found->second;
}

ZSqlHandlerBase::StatementPtr ZSqlHandlerBase::getStatement(zval* value)
{
    uint64_t id = 0;
    if (!registryId(value, id))
        return StatementPtr();
    auto found = statements.find(id);
    return found == statements.end() ? StatementPtr() : found->second;
}

void ZSqlHandlerBase::insertConnection(const ConnectionPtr& connection)
{
    registerEntry(connections, connection);
}

void ZSqlHandlerBase::insertStatement(const StatementPtr& statement)
{
    registerEntry(statements, statement);
}

void ZSqlHandlerBase::cleanup()
{
    connections.clear();
    statements.clear();
}

// ---- Shared operations ---------------------------------------------------------

std::string ZSqlHandlerBase::readObjectStringProperty(zval* value, const char* name, const std::string& fallback,
                                                      std::size_t maxBytes)
{
    zval scratch;
    ZVAL_UNDEF(&scratch);
    zval* found = silentProperty(value, name, &scratch);
    std::string text = fallback;
    if (found != nullptr && Z_TYPE_P(found) == IS_STRING)
        text.assign(Z_STRVAL_P(found), strnlen(Z_STRVAL_P(found), std::min(Z_STRLEN_P(found), maxBytes)));
    zval_ptr_dtor(&scratch);
    return text;
}

int32_t ZSqlHandlerBase::readObjectIntProperty(zval* value, const char* name, int32_t fallback)
{
    zval scratch;
    ZVAL_UNDEF(&scratch);
    zval* found = silentProperty(value, name, &scratch);
    int32_t number = fallback;
    if (found != nullptr && Z_TYPE_P(found) == IS_LONG)
        number = static_cast<int32_t>(Z_LVAL_P(found));
    zval_ptr_dtor(&scratch);
    return number;
}

bool ZSqlHandlerBase::callUserFunction(const std::wstring& name, std::wstring& result)
{
    result.clear();
    const std::string utf = vorn::fromUtf(name);
    zval returned;
    if (!callPhpFunction(utf.data(), utf.size(), 0, nullptr, &returned) || Z_ISUNDEF(returned))
        return false;
    if (Z_TYPE(returned) == IS_STRING)
        result = vorn::toUtf(std::string(Z_STRVAL(returned), strnlen(Z_STRVAL(returned), Z_STRLEN(returned))));
    zval_ptr_dtor(&returned);
    return true;
}

std::string ZSqlHandlerBase::getBacktrace(zend_execute_data* executeData)
{
    std::string text;
    for (zend_execute_data* frame = executeData; frame != nullptr; frame = frame->prev_execute_data) {
        zend_function* function = frame->func;
        if (function != nullptr && ZEND_USER_CODE(function->type)) {
            const zend_op_array& opArray = function->op_array;
            if (opArray.scope != nullptr && opArray.scope->name != nullptr) {
                text += vorn::printedName(opArray.scope->name);
                text += "::";
            }
            if (opArray.function_name != nullptr) {
                text.append(ZSTR_VAL(opArray.function_name), ZSTR_LEN(opArray.function_name));
                text += "()";
            } else {
                text += "{main}";
            }
            if (opArray.filename != nullptr) {
                text += ", ";
                text.append(ZSTR_VAL(opArray.filename), ZSTR_LEN(opArray.filename));
            }
            if (frame->opline != nullptr) {
                text += ":";
                text += std::to_string(frame->opline->lineno);
            }
        } else if (function != nullptr && function->common.function_name != nullptr) {
            if (function->common.scope != nullptr && function->common.scope->name != nullptr) {
                text += vorn::printedName(function->common.scope->name);
                text += "::";
            }
            text.append(ZSTR_VAL(function->common.function_name), ZSTR_LEN(function->common.function_name));
            text += "()";
        } else {
            text += "[)";
        }
        text += "\r\n\t";
    }
    return text;
}

boost::shared_ptr<ZCaptureEvent> ZSqlHandlerBase::addStartMethodEvent(const timeval& start,
                                                                      const boost::shared_ptr<ZLocation>& location,
                                                                      const std::string& sql,
                                                                      const std::string& reduced,
                                                                      const ConnectionPtr& connection,
                                                                      const std::vector<ZBoundValue>& boundValues)
{
    Manager& manager = Manager::get();
    if (!manager.reporter)
        return boost::shared_ptr<ZCaptureEvent>();
    ZEventsReporter& reporter = *manager.reporter;
    boost::shared_ptr<ZRemoteMethodStartEvent> event = newRemoteStartEvent(start, location);
    const std::string target = connection ? connection->toString() : std::string();
    event->targetInfoToken = reporter.addString(target);
    VornLog& log = Manager::LOG;
    if (log.enabled(VornLog::LEVEL_DBG1))
        log.logDbg1(logSafe(target));
    event->methodArgToken = reporter.addString(reduced);
    reporter.events.push_back(event);
    ++manager.capturedCount;
    for (const ZBoundValue& bound : boundValues) {
        boost::shared_ptr<ZInvocationAttributeEvent> attribute = boost::make_shared<ZInvocationAttributeEvent>();
        attribute->attributeName = bound.name;
        attribute->attributeValue = bound.value;
        attribute->depth = event->depth;
        attribute->locationId = event->locationId;
        attribute->startEventInstance = event->eventInstance;
        reporter.events.push_back(attribute);
    }
    if (log.enabled(VornLog::LEVEL_DBG2)) {
        log.logDbg2("Captured SQL (", location ? location->path : std::string(), "):", logSafe(sql));
        log.logDbg2("    Trimmed version:", logSafe(reduced));
    }
    return event;
}

boost::shared_ptr<ZCaptureEvent> ZSqlHandlerBase::addEndMethodEvent(const boost::shared_ptr<ZCaptureEvent>& startEvent,
                                                                    const boost::shared_ptr<ZLocation>& location,
                                                                    const timeval& end, const ZPHPException& error)
{
    Manager& manager = Manager::get();
    if (!startEvent || !manager.reporter)
        return boost::shared_ptr<ZCaptureEvent>();
    boost::shared_ptr<ZRemoteMethodEndEvent> event = newRemoteEndEvent(startEvent, end, error);
    if (!error.type.empty()) {
        VornLog& log = Manager::LOG;
        if (log.enabled(VornLog::LEVEL_DBG1))
            log.logDbg1("SQL error (", location ? location->path : std::string(), "):\n",
                        logSafe(error.type + ":" + error.message) + "\r\n\t" + logSafe(error.trace));
        event->flags = ZMethodEndEvent::FLAG_EXCEPTION;
    }
    manager.reporter->events.push_back(event);
    return event;
}

bool ZSqlHandlerBase::trimSql(const std::string& sql, std::string& reduced)
{
    return sqlReduceText(sql, Manager::globals.sql_mode, reduced);
}

void ZSqlHandlerBase::reportSqlCall(zend_execute_data* executeData, const timeval& start, const timeval& end,
                                    const std::string& sql, const std::string& reduced,
                                    const ConnectionPtr& connection, const ZPHPException& error, int32_t callDepth)
{
    boost::shared_ptr<ZLocation> location = sqlLocation(executeData);
    if (!location)
        return;
    if (callDepth >= 0)
        _manager->depth = callDepth;
    boost::shared_ptr<ZCaptureEvent> startEvent =
        addStartMethodEvent(start, location, sql, reduced, connection, std::vector<ZBoundValue>());
    addEndMethodEvent(startEvent, location, end, error);
}

// ---- Frame helpers -------------------------------------------------------------

bool ZSqlHandlerBase::gateClosed()
{
    // The limit test walks the engine's stack: it comes last, so that with
    // SQL capture off (qx.sql_mode 0) no database call pays for it.
    return !collecting() || Manager::globals.sql_mode == 0 || isLimitReached();
}

uint64_t ZSqlHandlerBase::elapsedMs(const timeval& start, const timeval& end)
{
    timeval diff;
    vorn::timeDiff(start, end, diff);
    return vorn::toMilliseconds(diff);
}

bool ZSqlHandlerBase::slowEnough(uint64_t ms)
{
    return InstrumentationRules::isSlow(ms, Manager::globals.slow_sql_threshold);
}

bool ZSqlHandlerBase::stringArg(zval* value, std::string& text)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_STRING)
        return false;
    text.assign(Z_STRVAL_P(value), strnlen(Z_STRVAL_P(value), Z_STRLEN_P(value)));
    return true;
}

bool ZSqlHandlerBase::sqlTextArg(zval* value, std::string& text)
{
    value = deref(value);
    if (value == nullptr || Z_TYPE_P(value) != IS_STRING)
        return false;
    text = sqlTextHead(Z_STRVAL_P(value), Z_STRLEN_P(value));
    return true;
}

boost::shared_ptr<ZLocation> ZSqlHandlerBase::sqlLocation(zend_execute_data* executeData)
{
    Manager& manager = Manager::get();
    if (executeData == nullptr || !manager.reporter)
        return boost::shared_ptr<ZLocation>();
    boost::shared_ptr<ZLocation> location = manager.createLocation(executeData->func, executeData, true);
    if (location)
        location->layerTypeId = manager.reporter->addString("sql");
    return location;
}

std::string ZSqlHandlerBase::logSafe(const std::string& text)
{
    return sqlLogText(text);
}

bool ZSqlHandlerBase::callInternalMethod(zval* object, const char* lowerName, zval* result)
{
    ZVAL_UNDEF(result);
    Manager& manager = Manager::get();
    object = deref(object);
    if (manager.bailoutPending || object == nullptr || Z_TYPE_P(object) != IS_OBJECT || lowerName == nullptr)
        return false;
    zend_object* target = Z_OBJ_P(object);
    const size_t length = std::strlen(lowerName);
    zend_function* method = nullptr;
    for (zend_class_entry* ce = target->ce; ce != nullptr && method == nullptr; ce = ce->parent) {
        auto* found = static_cast<zend_function*>(zend_hash_str_find_ptr(&ce->function_table, lowerName, length));
        if (found != nullptr && found->type == ZEND_INTERNAL_FUNCTION)
            method = found;
    }
    if (method == nullptr)
        return false;
    return manager.callKnownMethod(method, target, result);
}

void ZSqlHandlerBase::addFailedCallEvents(zend_execute_data* executeData, const timeval& start, const timeval& end,
                                          const ZPHPException& error, int32_t callDepth)
{
    Manager& manager = Manager::get();
    // The same gate as every reported call: a failing call in a loop (a
    // connect or a prepare) stops adding events at qx.max_functions.
    if (executeData == nullptr || gateClosed())
        return;
    boost::shared_ptr<ZLocation> location = manager.createLocation(executeData->func, executeData, true);
    if (!location)
        return;
    manager.depth = callDepth + 1;
    boost::shared_ptr<ZCaptureEvent> startEvent = manager.createStartMethodEvent(start, location);
    manager.depth = callDepth;
    boost::shared_ptr<ZCaptureEvent> endEvent = manager.createEndMethodEvent(startEvent, end);
    if (auto* endRecord = dynamic_cast<ZMethodEndEvent*>(endEvent.get())) {
        endRecord->flags = ZMethodEndEvent::FLAG_EXCEPTION;
        endRecord->exception = error;
    }
    manager.reporter->events.push_back(startEvent);
    manager.reporter->events.push_back(endEvent);
    ++manager.capturedCount;
}

ZPHPException ZSqlHandlerBase::errorInfoDetails(zval* object, zend_execute_data* executeData)
{
    ZPHPException details;
    zval info;
    if (!callInternalMethod(object, "errorinfo", &info))
        return details;
    if (Z_TYPE(info) == IS_ARRAY) {
        zval* message = deref(zend_hash_index_find(Z_ARRVAL(info), 2));
        if (message != nullptr && Z_TYPE_P(message) == IS_STRING) {
            details.type = "Function failure";
            details.setErrorMessage(Z_STRVAL_P(message), Z_STRLEN_P(message), sqlsupport::maxMessageLength());
        }
    }
    zval_ptr_dtor(&info);
    details.trace = getBacktrace(executeData);
    return details;
}

zval* ZSqlHandlerBase::thisObject(zend_execute_data* executeData)
{
    if (executeData == nullptr || Z_TYPE(executeData->This) != IS_OBJECT)
        return nullptr;
    return &executeData->This;
}
