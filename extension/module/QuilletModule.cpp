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
#include "extension/engine/EngineBoundary.h"
#include "extension/engine/EngineServerVariables.h"
#include "extension/instrumentation/InstrumentationRules.h"
#include "extension/instrumentation/ListedFunctionRewriter.h"
#include "extension/instrumentation/Manager.h"
#include "extension/config/QuilletDirectives.h"
#include "extension/engine/VornEngine.h"
#include "extension/config/VornMacros.h"
#include "extension/report/IEventsChannel.h"
#include "extension/report/ZBlockSender.h"
#include "extension/report/ZEventsReporter.h"
#include "extension/report/ZThriftOutput.h"
#include "extension/request/RequestRecorder.h"
#include "extension/url/ZNamedSemaphore.h"
#include "extension/url/ZShmUrlHash.h"
#include "extension/url/ZUrlManager.h"

namespace {

// The records the engine looks up are exported and complete at compile time:
// nothing writes to exported data when the library is loaded. Where the
// engine opens extensions without RTLD_DEEPBIND, such a write from a static
// constructor would bind to a like-named record of the library loaded before.
#define QX_MODULE_NAME "Vorn QX Agent"
#define QX_VERSION "1.0.336"
const char* const kModuleName = QX_MODULE_NAME;

// ---- Module-level state (one copy per worker process) ----------------------

Manager* qxAgent = nullptr;
ZShmReadOnly registerShm;
AgentMetadata agentMetadata;
// The events that open and close each collected request.
RequestRecorder recorder(Manager::LOG);
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

// The registration block as it is now (`size` from this request's one look
// at its object, when `looked`): mapped, and its object still at least
// as long as the record. A block cut short after it was mapped would raise
// SIGBUS on the first read.
bool registrationBlockReadable(bool looked, long long size, std::string& why)
{
    if (!registerShm.created || registerShm.address() == nullptr
        || registerShm.mappedSize() < AgentMetadata::kSize) {
        why = "not mapped";
        return false;
    }
    if (!looked) {
        why = "size unknown";
        return false;
    }
    if (size < static_cast<long long>(AgentMetadata::kSize)) {
        why = "only " + std::to_string(static_cast<long long>(size)) + " bytes long";
        return false;
    }
    return true;
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

// Makes sure the worker's connection to the aggregator is handshaken. A failure
// is logged (a repeated one at most once per interval, see
// ZEventsReporter::logHandshakeFailure); the request stays collected and the
// next one tries again.
void paHandshake()
{
    VornLog& log = Manager::LOG;
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    if (!reporter)
        return;
    // A connection inherited from the process this one was forked from (the
    // server's first process, which ran the start-up) is never used here.
    reporter->dropInheritedConnection();
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
        reporter->logHandshakeFailure(e.message, globals.events_channel_ip, globals.events_channel_port);
    }
}

// ---- Request activation ----------------------------------------------------

void activateRequest()
{
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter;
    log.logDbg2("PHP Rinit Called");

    // One look at the block held, once per request: when the daemon stopped
    // it was removed (and a restarted daemon makes a new one), so it is let
    // go of and the block of that name, if any, is opened in its place.
    long long blockSize = 0;
    bool blockNamed = true;
    bool looked = registerShm.created && registerShm.status(blockSize, blockNamed);
    if (looked && !blockNamed) {
        log.logDbg1("The registration block was removed; the current one is opened");
        registerShm.close();
    }
    if (!registerShm.created) {
        try {
            registerShm.create(vorn::toUtf(AgentMetadata::kBlockName), AgentMetadata::kSize);
        } catch (const zException& e) {
            log.logDbg1("Failed to create shared memory:", e.message);
            log.logDbg1("Extension is disabled");
            globals.collectEnabled = false;
            return;
        }
        looked = registerShm.status(blockSize, blockNamed);
    }

    qxAgent->requestInit();
    std::memset(&agentMetadata, 0, sizeof(agentMetadata));

    // A run without a URL from the server is no request of the site: opcache
    // preloading, or any other start-up run, which happens in the server's
    // first process before it forks its workers.
    const char* requestUri = SG(request_info).request_uri;
    if (requestUri == nullptr || *requestUri == '\0') {
        log.logDbg1("No request URL from the server (a start-up run), collection is disabled for this request");
        return;
    }

    std::string why;
    if (!registrationBlockReadable(looked, blockSize, why)) {
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
    AgentMetadata::getText(agentMetadata.componentID, qxAgent->agentId);
    log.logDbg1("Registration is OK, enabling collection");
    qxAgent->collecting = true;

    qxAgent->urlManager->initialize(log);
    if (!reporter)
        throw zException(L"the events reporter is missing");
    reporter->dropNewSymbols();

    // The limit's test and the registration of the request's path share one
    // hold of the URL table's lock.
    if (!qxAgent->urlManager->admitRequest(log)) {
        log.logDbg1("Number of unique URIs exceeded the maximum allowed");
        log.logDbg1("Extension is disabled");
        globals.collectEnabled = false;
        qxAgent->collecting = false;
        return;
    }

    RequestOpening opening;
    opening.timeMicroseconds = nowMicroseconds();
    // One look-up tells whether the header came and gives its text.
    opening.correlated = qxAgent->urlManager->getCorrelationToken(opening.incomingToken);
    if (opening.correlated)
        opening.monotonic = std::chrono::steady_clock::now();
    opening.uri = &qxAgent->urlManager->getCurrentURI(log, false);
    const char* method = SG(request_info).request_method;
    opening.method = RequestRecorder::methodOrGet(method != nullptr ? std::string(method) : std::string());
    qxAgent->requestMethod = opening.method;
    opening.remoteAddress = remoteAddress();
    recorder.open(*reporter, opening);

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
    if (boost::shared_ptr<ZEventsReporter> reporter = qxAgent->reporter) {
        reporter->dropNewSymbols();
        InstrumentationRules::dropRequest(reporter->events, reporter->locations, reporter->newSymbols);
    }
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
    // Calls left open end here: as completed after exit(), with the error
    // after a fatal error or a time-out (or dropped); the recorder drops any
    // start left without its end.
    qxAgent->closeOpenCalls();

    RequestClosing closing;
    closing.uri = &qxAgent->urlManager->getCurrentURI(log, false);
    closing.timeMicroseconds = nowMicroseconds();
    closing.status = SG(sapi_headers).http_response_code;
    const char* query = SG(request_info).query_string;
    closing.query = query != nullptr ? std::string(query) : std::string();
    recorder.close(*reporter, closing);
    recorder.deliver(*reporter);
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
    if (!vorn::guardEntry(Manager::LOG, failure, step))
        abandonRequest();
}

// ---- Module callbacks ------------------------------------------------------

// Removes the URL table's semaphore and file that an earlier run left behind,
// unless a running process still uses them (a configuration test beside a
// running server). True when removed.
bool removeUrlTableLeftovers(const std::wstring& installDir)
{
    try {
        return ZShmUrlHash::removeLeftoversUnlessInUse(ZShmUrlHash::getUrlShmName(),
                                                       vorn::fromUtf(installDir) + "/tmp",
                                                       ZShmUrlHash::getUrlShmLockerName());
    } catch (const std::exception&) {
        // Start-up goes on either way.
        return false;
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

// Reads the directives and opens the log; false when start-up goes no further
// (the installation folder is not set). Failures are thrown.
bool configureModule(bool commandLine)
{
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    EngineDirectiveSource source;
    std::vector<std::wstring> warnings;
    if (QuilletDirectives::read(source, globals, warnings) == QuilletDirectives::Result::MissingInstallDir) {
        if (!commandLine)
            std::fprintf(stderr, "[ERROR] Missing directive 'qx.install_dir'\n");
        return false;
    }
    // A command-line run (a cron job, a console command) collects nothing
    // and must not remove the URL table and semaphore of a web server
    // running beside it with the same settings.
    const bool leftInPlace = !commandLine && !removeUrlTableLeftovers(globals.install_dir);
    log.path = globals.log_file;
    log.level = globals.log_level;
    if (commandLine) {
        // A command-line run collects nothing, so it creates no file the web
        // workers need: a root cron job would create the log as root, and
        // workers of another user could not open it. It writes to a log that
        // is already there, else nowhere, and never to the standard error
        // (a cron job mails it); the web workers report a bad setting.
        try {
            log.open(VornLog::IfMissing::Fail);
        } catch (const zException&) {
            log.level = -1;
        }
    } else {
        log.open();
    }
    if (leftInPlace)
        log.logDbg1("URL table left in place: a running process uses it, or its lock file cannot be opened");
    for (const std::wstring& warning : warnings)
        log.logWarning(warning);
    log.logDbg1("CrossVM enabled =", globals.enable_crossvm);
    // Only requests use the URL rules; compiling them costs every
    // command-line run time and memory.
    if (!commandLine)
        qxAgent->urlManager->loadRegexFile(log, globals.install_dir);
    log.logDbg1("Installation dir:", globals.install_dir);
    return true;
}

PHP_MINIT_FUNCTION(Quillet)
{
    zend_register_ini_entries_ex(iniEntries(), module_number, type);
    qxAgent = &Manager::get();
    QuilletGlobals& globals = Manager::globals;
    VornLog& log = Manager::LOG;
    const bool commandLine = sapi_module.name != nullptr && std::strcmp(sapi_module.name, "cli") == 0;

    // The log is not open yet: a failure goes to the standard error.
    bool configured = false;
    vorn::guardEntry([&] { configured = configureModule(commandLine); },
                     [commandLine](const char* what) {
                         if (!commandLine)
                             std::fprintf(stderr, "[ERROR] Failed to open log file.%s\n", what != nullptr ? what : "");
                     });
    if (!configured)
        return SUCCESS;

    if (commandLine) {
        globals.cliDisabled = true;
        return SUCCESS;
    }

    globals.collectEnabled = false;
    vorn::guardEntry(
        [&] {
            // The event channel's library would otherwise write a line of its
            // own to the server's error log at every failed connect.
            if (!ZThriftOutput::install(log))
                log.logWarning("The event channel library's messages could not be routed to this log");
            log.logDbg1("Extension successfully loaded");
            qxAgent->startup();
            moduleActive = true;
        },
        [&](const char* what) {
            if (what != nullptr)
                log.logError("Extension start-up failed:", what);
            else
                log.logError("Extension start-up failed");
        });
    return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(Quillet)
{
    (void)type;
    UNREGISTER_INI_ENTRIES();
    vorn::guardEntry(
        [&] {
            if (qxAgent != nullptr)
                qxAgent->shutdown();
            // The blocks still queued are written, and no thread may run the
            // library's code once the engine unloads it.
            ZBlockSender::stopAll();
        },
        vorn::ignoreFailure);
    // Last, once nothing here uses the library any more: it may stay loaded
    // while this library is unloaded and loaded again.
    ZThriftOutput::uninstall();
    return SUCCESS;
}

// Both request callbacks leave errno as they found it: the first collected
// request's connect to the aggregator, the URL table's lock and the log
// would otherwise show in the script's next warning that prints errno.
PHP_RINIT_FUNCTION(Quillet)
{
    (void)type;
    (void)module_number;
    const vorn::ScriptErrno scriptErrno;
    vorn::objectIdsRequestStart();
    ListedFunctionRewriter::requestStarts();
    if (!Manager::globals.cliDisabled && moduleActive)
        runRequestStep(activateRequest, "Request activation failed:");
    scriptErrno.restore();
    return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(Quillet)
{
    (void)type;
    (void)module_number;
    const vorn::ScriptErrno scriptErrno;
    vorn::guardEntry(Manager::LOG, "Request deactivation failed:", vorn::objectIdsRequestEnd);
    if (!Manager::globals.cliDisabled && moduleActive)
        runRequestStep(deactivateRequest, "Request deactivation failed:");
    scriptErrno.restore();
    return SUCCESS;
}

} // namespace

namespace {

PHP_MINFO_FUNCTION(Quillet)
{
    (void)zend_module;
    php_info_print_table_start();
    php_info_print_table_row(2, kModuleName, QX_VERSION);
    php_info_print_table_end();
}

} // namespace

// ---- Records the engine looks up ----------------------------------------------

zend_module_entry Quillet_module_entry = {
    STANDARD_MODULE_HEADER,
    QX_MODULE_NAME,
    ListedFunctionRewriter::functions,  // what instrumented code calls
    PHP_MINIT(Quillet),
    PHP_MSHUTDOWN(Quillet),
    PHP_RINIT(Quillet),
    PHP_RSHUTDOWN(Quillet),
    PHP_MINFO(Quillet),
    QX_VERSION,
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
    QX_MODULE_NAME,
    QX_VERSION,
    "Quillet developers",
    "https://quillet.invalid/",
    "Copyright (c) Quillet developers",
    vorn_qx_agent_startup,
    vorn_qx_agent_shutdown,
    nullptr,  // activate
    nullptr,  // deactivate
    nullptr,  // message handler
    ListedFunctionRewriter::compiled,  // op-array handler: lines of the probe's opcodes
    nullptr,  // statement handler
    nullptr,  // function-call begin
    nullptr,  // function-call end
    nullptr,  // op-array constructor
    nullptr,  // op-array destructor
    STANDARD_ZEND_EXTENSION_PROPERTIES
};

ZEND_DLEXPORT zend_module_entry* get_module(void);

ZEND_DLEXPORT zend_module_entry* get_module(void)
{
    return &Quillet_module_entry;
}

} // extern "C"

std::wstring vorn::expandMacros(const std::wstring& text)
{
    return vorn::expandMacros(text, Manager::globals.install_dir);
}
