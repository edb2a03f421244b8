// Entry points of the Quillet engine extension: the engine-extension record
// and its version record, the module record with its start-up, shutdown,
// information and request callbacks, and the request's opening and closing
// events. Everything the engine calls returns success on every path; the
// probe's own failures are logged here and never reach the host request.


#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "php.h"
#include "SAPI.h"
#include "ext/standard/info.h"
#include "zend_extensions.h"

// The engine's compatibility header renames "lookup" for its bundled regex
// library; here it is the server variables' own method.
#undef lookup

#include "common/AgentMetadata.h"
#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/ZShmReadOnly.h"
#include "common/zException.h"
#include "extension/engine/EngineServerVariables.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/ListedFunctionRewriter.h"
#include "extension/instrumentation/Manager.h"
#include "extension/config/QuilletDirectives.h"
#include "extension/engine/VornEngine.h"
#include "extension/config/VornMacros.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/report/IEventsChannel.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/url/ZNamedSemaphore.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/ZUrlManager.h"

namespace {

const char* const kModuleName = "Vorn QX Agent";
const char* const kAuthor = "Quillet developers";
const char* const kUrl = "https://quillet.invalid/";
const char* const kCopyright = "Copyright (c) Quillet developers";
const int kBuildNumber = 336;

// ---- Module-level state (one copy per worker process) ----------------------

Manager* qxAgent = nullptr;
ZShmReadOnly registerShm;
AgentMetadata agentMetadata;
int32_t httpStartLocationID = -1;
int32_t methodStartLocationID = -1;
int32_t methodStartEventInstanceID = -1;
// The current collected request carries the correlation header: it opened as
// a remote fragment and closes as one.
bool requestIsRemote = false;
// Set once module start-up has completed under a server interface that is
// collected; until then (and for good after a failed start-up) the request
// callbacks return at once.
bool moduleActive = false;

// ---- Helpers ---------------------------------------------------------------

// Reads the directives through the engine's INI readers.
class EngineDirectiveSource : public QuilletDirectives::Source {
public:
    bool text(const std::string& name, std::string& value) const override
    {
        bool exists = false;
        char* v = zend_ini_string_ex(name.c_str(), name.size(), 0, &exists);
        if (!exists || v == nullptr)
            return false;
        value = v;
        return true;
    }

    int64_t integer(const std::string& name) const override
    {
        return static_cast<int64_t>(zend_ini_long(name.c_str(), name.size(), 0));
    }
};

std::string metadataText(const char (&slot)[AgentMetadata::kTextSize])
{
    return AgentMetadata::getText(slot);
}

// The registration block as it is now: mapped, and its object still at least
// as long as the record. A block cut short after it was mapped would raise
// SIGBUS on the first read.
bool registrationBlockReadable(std::string& why)
{
    if (!registerShm.created || registerShm.address() == nullptr
        || registerShm.mappedSize() < AgentMetadata::kSize) {
        why = "not mapped";
        return false;
    }
    boost::interprocess::offset_t size = 0;
    if (!registerShm.shm.get_size(size)) {
        why = "size unknown";
        return false;
    }
    if (size < static_cast<boost::interprocess::offset_t>(AgentMetadata::kSize)) {
        why = "only " + std::to_string(static_cast<long long>(size)) + " bytes long";
        return false;
    }
    return true;
}

std::string requestMethodOrGet()
{
    const char* method = SG(request_info).request_method;
    return (method != nullptr && *method != '\0') ? std::string(method) : std::string("GET");
}

// The status the client receives; the engine leaves 0 when the script set none.
int32_t responseStatus()
{
    int code = SG(sapi_headers).http_response_code;
    return code > 0 ? code : 200;
}

std::string remoteAddress()
{
    std::string value;
    if (EngineServerVariables::instance().lookup("REMOTE_ADDR", value))
        return value;
    const char* env = std::getenv("REMOTE_ADDR");
    return env != nullptr ? std::string(env) : std::string();
}

uint64_t nowMicroseconds()
{
    timeval tv;
    vorn::getTimeOfDay(&tv);
    return vorn::toMicroseconds(tv);
}

// Builds the fragment location and the root method location of the request
// and adds both to the reporter's table.
void addRequestLocations(ZEventsReporter& reporter, const std::string& method)
{
    auto fragment = boost::make_shared<ZLocation>();
    fragment->id = ZLocation::nextValue();
    fragment->calleeClassNameToken = reporter.addString("");
    fragment->calleeMethodNameToken = reporter.addString(method);
    fragment->layerToken = reporter.addString("Web Tier");
    fragment->callerClassNameId = reporter.addString("");
    fragment->callerMethodNameId = reporter.addString("");
    fragment->callerLineNumber = 0;
    fragment->layerTypeId = reporter.addString("method");

    auto root = boost::make_shared<ZLocation>(*fragment);
    root->id = ZLocation::nextValue();

    reporter.locations.add(fragment);
    reporter.locations.add(root);
    httpStartLocationID = fragment->id;
    methodStartLocationID = root->id;
}

// Fills the request's opening event, HTTP or remote fragment alike: the
// collapsed path's token first, then the request's two locations, then the
// rest; the caller appends it.
template <typename FragmentStart>
void fillFragmentStart(FragmentStart& event, ZEventsReporter& reporter, const vorn::Uri& uri, uint64_t start)
{
    event.diagArg = "DIAG_ARG:type=http";
    event.depth = 1;
    event.uriToken = reporter.addString(vorn::fromUtf(uri.collapsedPath));

    std::string method = requestMethodOrGet();
    qxAgent->requestMethod = method;
    addRequestLocations(reporter, method);

    event.locationId = httpStartLocationID;
    event.timeInMicroseconds = start;
    event.remoteConsumerId = remoteAddress();
}

// Opens the request as an HTTP fragment.
void reportHttpFragmentStart(VornLog& log, ZEventsReporter& reporter, uint64_t start)
{
    vorn::Uri uri = qxAgent->urlManager->getCurrentURI(log, true);
    log.logDbg2("Reporting 'ZHttpFragmentStartEvent' event. URL is:", uri.path, ". collapsed path:",
                uri.collapsedPath);

    auto event = boost::make_shared<ZHttpFragmentStartEvent>();
    fillFragmentStart(*event, reporter, uri, start);
    reporter.events.push_back(event);
}

// Fills the request's closing event, HTTP or remote fragment alike.
template <typename FragmentEnd>
boost::shared_ptr<FragmentEnd> makeFragmentEnd(uint64_t end, int32_t uriToken, int32_t status)
{
    auto event = boost::make_shared<FragmentEnd>();
    event->depth = 1;
    event->timeInMicroseconds = end;
    event->uriToken = uriToken;
    event->locationId = httpStartLocationID;
    event->httpStatusCode = status;
    return event;
}

} // namespace

// Opens the request as a remote fragment: the request carries the correlation
// header of a caller in another process or machine.
void vorn_report_remote_method_start_event(VornLog& log, uint64_t start)
{
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    vorn::Uri uri = qxAgent->urlManager->getCurrentURI(log, true);
    log.logDbg2("Reporting 'ZRemoteFragmentStartEvent' event. URL is:", uri.path, ". collapsed path:",
                uri.collapsedPath);

    std::string token;
    qxAgent->urlManager->getCorrelationToken(token);
    log.logDbg2("CorrelationTokenIn:", token);
    try {
        CorrelationToken::print(log, token);
    } catch (const std::exception& e) {
        // A token we cannot decode is still passed on as it came.
        log.logWarning("Cannot decode the incoming correlation token:", e.what());
    }

    auto event = boost::make_shared<ZRemoteFragmentStartEvent>();
    fillFragmentStart(*event, *reporter, uri, start);
    event->correlationToken = token;
    reporter->events.push_back(event);
}

// Makes sure the worker's connection to the aggregator is handshaken. A failure
// is logged; the request stays collected and the next one tries again.
void paHandshake()
{
    VornLog& log = Manager::LOG;
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    if (!reporter)
        return;
    if (reporter->handshaken) {
        log.logDbg1("No need for handshake - already done");
        return;
    }
    const QuilletGlobals& globals = Manager::globals;
    try {
        IEventsChannel::HandshakeData data;
        data.host = vorn::fromUtf(globals.events_channel_ip);
        data.port = globals.events_channel_port;
        data.probeName = metadataText(agentMetadata.probeName);
        data.probeOID = metadataText(agentMetadata.componentID);
        data.hostname = metadataText(agentMetadata.host);
        data.probeType = 2;
        reporter->handshake(data);
        log.logDbg1("Successfully handshaked with PA");
    } catch (const zException& e) {
        log.logError("Failed to handshake with PA!", e.message);
        log.logError(globals.events_channel_ip, ":", globals.events_channel_port);
    }
}

namespace {

// ---- Request activation ----------------------------------------------------

void activateRequest()
{
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    log.logDbg2("PHP Rinit Called");

    if (!registerShm.created) {
        try {
            registerShm.create(vorn::toUtf(AgentMetadata::kBlockName), AgentMetadata::kSize);
        } catch (const zException& e) {
            log.logDbg1("Failed to create shared memory:", e.message);
            log.logDbg1("Extension is disabled");
            globals.collectEnabled = false;
            return;
        }
    }

    qxAgent->requestInit();
    std::memset(&agentMetadata, 0, sizeof(agentMetadata));

    std::string why;
    if (!registrationBlockReadable(why)) {
        log.logDbg1("Registration block is not readable (", why, "), collection is disabled for this request");
        return;
    }
    const unsigned char* block = static_cast<const unsigned char*>(registerShm.address());
    if (block[0] == 0) {
        log.logDbg1("Registration is NOT done yet, collection is disabled for this request");
        return;
    }

    log.logDbg2("Extension is enabled");
    globals.collectEnabled = true;
    std::memcpy(&agentMetadata, block, sizeof(agentMetadata));
    qxAgent->agentId = metadataText(agentMetadata.componentID);
    log.logDbg1("Registration is OK, enabling collection");
    qxAgent->collecting = true;

    qxAgent->urlManager->initialize(log);
    if (!reporter)
        throw zException(L"the events reporter is missing");
    reporter->newSymbols.reset();

    if (qxAgent->urlManager->isMaxUriLimitHit()) {
        log.logDbg1("Number of unique URIs exceeded the maximum allowed");
        log.logDbg1("Extension is disabled");
        globals.collectEnabled = false;
        qxAgent->collecting = false;
        return;
    }

    uint64_t start = nowMicroseconds();
    requestIsRemote = qxAgent->urlManager->hasCrossVmHttpHeader(log);
    if (requestIsRemote)
        vorn_report_remote_method_start_event(log, start);
    else
        reportHttpFragmentStart(log, *reporter, start);

    auto rootStart = boost::make_shared<ZMethodStartEvent>();
    rootStart->depth = 2;
    rootStart->eventInstance = ZMethodEvent::generateMethodId();
    methodStartEventInstanceID = rootStart->eventInstance;
    rootStart->locationId = methodStartLocationID;
    rootStart->timeInMicroseconds = start;
    reporter->events.push_back(rootStart);
    log.logDbg2("Collected HTTP Start Event");

    paHandshake();
}

// Leaves the request uncollected after a failure of the probe itself, dropping
// whatever it had queued.
void abandonRequest()
{
    Manager::globals.collectEnabled = false;
    if (qxAgent == nullptr)
        return;
    qxAgent->collecting = false;
    qxAgent->forgetOpenCalls();
    if (boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter)
        InstrumentationRules::dropRequest(reporter->events, reporter->locations, reporter->newSymbols);
}

// ---- Request deactivation --------------------------------------------------

void deactivateRequest()
{
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    log.logDbg2("Rshutdown is called");
    if (!globals.collectEnabled) {
        log.logDbg1("Quillet is disabled");
        return;
    }
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    if (!reporter)
        return;
    log.logDbg2("Creating HTTP End Event");
    // Calls cut short (fatal error, time-out) never ended: their start events
    // must not travel without their locations.
    qxAgent->dropUnfinishedCalls();

    vorn::Uri uri = qxAgent->urlManager->getCurrentURI(log, false);
    log.logDbg2("Request URL is:", uri.path, ". collapsed path:", uri.collapsedPath);

    uint64_t end = nowMicroseconds();
    int32_t status = responseStatus();

    auto rootEnd = boost::make_shared<ZMethodEndEvent>();
    boost::shared_ptr<ZCaptureEvent> fragmentEnd;
    int32_t fragmentThreadId = 0;
    int32_t uriToken = reporter->addString(vorn::fromUtf(uri.collapsedPath));
    if (requestIsRemote) {
        auto e = makeFragmentEnd<ZRemoteFragmentEndEvent>(end, uriToken, status);
        e->adjustedEndTime = static_cast<int64_t>(end);
        fragmentThreadId = e->threadId;
        fragmentEnd = e;
    } else {
        auto e = makeFragmentEnd<ZHttpFragmentEndEvent>(end, uriToken, status);
        fragmentThreadId = e->threadId;
        fragmentEnd = e;
    }

    rootEnd->depth = 2;
    rootEnd->flags = 0;
    rootEnd->locationId = methodStartLocationID;
    rootEnd->startEventInstanceId = methodStartEventInstanceID;
    rootEnd->threadId = fragmentThreadId;
    rootEnd->timeInMicroseconds = end;
    reporter->events.push_back(rootEnd);

    auto statusAttribute = boost::make_shared<ZFragmentAttributeEvent>();
    statusAttribute->locationId = httpStartLocationID;
    statusAttribute->name = "HTTP_status_code";
    statusAttribute->value = std::to_string(status);
    reporter->events.push_back(statusAttribute);

    auto queryAttribute = boost::make_shared<ZFragmentAttributeEvent>();
    queryAttribute->locationId = httpStartLocationID;
    queryAttribute->name = "HTTP_query";
    const char* query = SG(request_info).query_string;
    queryAttribute->value = query != nullptr ? std::string(query) : std::string();
    reporter->events.push_back(queryAttribute);

    reporter->events.push_back(fragmentEnd);
    log.logDbg2("Collected HTTP End Event");

    if (reporter->handshaken) {
        try {
            reporter->send();
        } catch (const zException& e) {
            log.logError("Failed to report events:", e.message);
        }
    }
    reporter->finalizeRequest();
    // The request's block is closed. Script code can still run after this
    // callback (a session save handler flushed by the session module's own
    // shutdown): its calls belong to no block and must not open the next
    // request's block with events whose symbols were never announced.
    qxAgent->collecting = false;
    globals.collectEnabled = false;
}

// Runs a request callback's work. A failure of the probe itself is logged and
// leaves the request uncollected; it never reaches the engine.
void runRequestStep(void (*step)(), const char* failure)
{
    try {
        step();
    } catch (const std::exception& e) {
        Manager::LOG.logError(failure, e.what());
        abandonRequest();
    } catch (...) {
        Manager::LOG.logError(failure, "unknown error");
        abandonRequest();
    }
}

// ---- Module callbacks ------------------------------------------------------

// Removes the URL table's semaphore and file that an earlier run left behind.
void removeUrlTableLeftovers(const std::wstring& installDir)
{
    try {
        ZNamedSemaphore::remove(ZShmUrlHash::getUrlShmLockerName());
        ZShmUrlHash::destroy(ZShmUrlHash::getUrlShmName(), vorn::fromUtf(installDir) + "/tmp");
    } catch (const std::exception&) {
        // Nothing left, or nothing we may remove: start-up goes on either way.
    }
}

// The directive table handed to the engine, built from the one list of the
// directives with their default texts; every directive may be set at every
// level, with no change handler and no display handler. It ends with an
// empty entry and lives as long as the process, since the engine keeps
// pointers into it.
std::vector<zend_ini_entry_def> ini_entries;

const zend_ini_entry_def* iniEntries()
{
    if (ini_entries.empty()) {
        for (const QuilletDirectives::Entry& directive : QuilletDirectives::table()) {
            zend_ini_entry_def def;
            std::memset(&def, 0, sizeof(def));
            def.name = directive.name;
            def.name_length = static_cast<uint16_t>(std::strlen(directive.name));
            def.value = directive.defaultText;
            def.value_length = static_cast<uint32_t>(std::strlen(directive.defaultText));
            def.modifiable = ZEND_INI_ALL;
            ini_entries.push_back(def);
        }
        zend_ini_entry_def end;
        std::memset(&end, 0, sizeof(end));
        ini_entries.push_back(end);
    }
    return ini_entries.data();
}

PHP_MINIT_FUNCTION(Quillet)
{
    zend_register_ini_entries_ex(iniEntries(), module_number, type);
    qxAgent = &Manager::get();
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    const bool commandLine = sapi_module.name != nullptr && std::strcmp(sapi_module.name, "cli") == 0;

    try {
        EngineDirectiveSource source;
        std::vector<std::wstring> warnings;
        if (QuilletDirectives::read(source, globals, warnings) == QuilletDirectives::Result::MissingInstallDir) {
            std::fprintf(stderr, "[ERROR] Missing directive 'qx.install_dir'\n");
            return SUCCESS;
        }
        // A command-line run (a cron job, a console command) collects nothing
        // and must not remove the URL table and semaphore of a web server
        // running beside it with the same settings.
        if (!commandLine)
            removeUrlTableLeftovers(globals.install_dir);
        log.path = globals.log_file;
        log.level = globals.log_level;
        log.open();
        for (const std::wstring& warning : warnings)
            log.logWarning(warning);
        log.logDbg1("CrossVM enabled =", globals.enable_crossvm);
        qxAgent->urlManager->loadRegexFile(log, globals.install_dir);
        log.logDbg1("Installation dir:", globals.install_dir);
    } catch (const zException& e) {
        std::fprintf(stderr, "[ERROR] Failed to open log file.%s\n", e.message.c_str());
        return SUCCESS;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[ERROR] Failed to open log file.%s\n", e.what());
        return SUCCESS;
    } catch (...) {
        std::fprintf(stderr, "[ERROR] Failed to open log file.\n");
        return SUCCESS;
    }

    if (commandLine) {
        globals.cliDisabled = true;
        return SUCCESS;
    }

    globals.collectEnabled = false;
    try {
        log.logDbg1("Extension successfully loaded");
        qxAgent->startup();
        moduleActive = true;
    } catch (const std::exception& e) {
        log.logError("Extension start-up failed:", e.what());
    } catch (...) {
        log.logError("Extension start-up failed");
    }
    return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(Quillet)
{
    (void)type;
    UNREGISTER_INI_ENTRIES();
    try {
        if (qxAgent != nullptr)
            qxAgent->shutdown();
    } catch (...) {
    }
    return SUCCESS;
}

PHP_RINIT_FUNCTION(Quillet)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestStart();
    if (Manager::globals.cliDisabled || !moduleActive)
        return SUCCESS;
    runRequestStep(activateRequest, "Request activation failed:");
    return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(Quillet)
{
    (void)type;
    (void)module_number;
    vorn::objectIdsRequestEnd();
    if (Manager::globals.cliDisabled || !moduleActive)
        return SUCCESS;
    runRequestStep(deactivateRequest, "Request deactivation failed:");
    return SUCCESS;
}

} // namespace

const char* getVersionString();

namespace {

PHP_MINFO_FUNCTION(Quillet)
{
    (void)zend_module;
    php_info_print_table_start();
    php_info_print_table_row(2, kModuleName, getVersionString());
    php_info_print_table_end();
}

} // namespace

const char* getVersionString()
{
    static std::string version;
    if (version.empty())
        version = "1.0." + std::to_string(kBuildNumber);
    return version.c_str();
}

// ---- Records the engine looks up ----------------------------------------------

zend_module_entry Quillet_module_entry = {
    STANDARD_MODULE_HEADER,
    nullptr,                 // name: filled in when the library is loaded
    ListedFunctionRewriter::functions,  // what instrumented code calls
    PHP_MINIT(Quillet),
    PHP_MSHUTDOWN(Quillet),
    PHP_RINIT(Quillet),
    PHP_RSHUTDOWN(Quillet),
    PHP_MINFO(Quillet),
    nullptr,                 // version: filled in when the library is loaded
    STANDARD_MODULE_PROPERTIES
};

namespace {

int vorn_qx_agent_startup(zend_extension* extension)
{
    (void)extension;
    Manager::_resourceID = zend_get_resource_handle(kModuleName);
    zend_startup_module(&Quillet_module_entry);
    return SUCCESS;
}

void vorn_qx_agent_shutdown(zend_extension* extension)
{
    (void)extension;
}

} // namespace

extern "C" {

ZEND_DLEXPORT zend_extension_version_info extension_version_info = {
    ZEND_EXTENSION_API_NO,
    ZEND_EXTENSION_BUILD_ID
};

ZEND_DLEXPORT zend_extension zend_extension_entry = {
    nullptr,  // name, version, author, URL, copyright: filled in at load
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    vorn_qx_agent_startup,
    vorn_qx_agent_shutdown,
    nullptr,  // activate
    nullptr,  // deactivate
    nullptr,  // message handler
    nullptr,  // op-array handler: listed functions are instrumented from their syntax tree
    nullptr,  // statement handler
    nullptr,  // function-call begin
    nullptr,  // function-call end
    nullptr,  // op-array constructor
    nullptr,  // op-array destructor
    STANDARD_ZEND_EXTENSION_PROPERTIES
};

ZEND_DLEXPORT zend_module_entry* get_module(void)
{
    return &Quillet_module_entry;
}

} // extern "C"

namespace {

// Fills in the records' texts when the library is loaded.
struct RecordTexts {
    RecordTexts()
    {
        Quillet_module_entry.name = kModuleName;
        Quillet_module_entry.version = getVersionString();
        zend_extension_entry.name = kModuleName;
        zend_extension_entry.version = getVersionString();
        zend_extension_entry.author = kAuthor;
        zend_extension_entry.URL = kUrl;
        zend_extension_entry.copyright = kCopyright;
    }
} recordTexts;

} // namespace

std::wstring vorn::expandMacros(const std::wstring& text)
{
    return vorn::expandMacros(text, Manager::globals.install_dir);
}
