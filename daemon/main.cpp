// agent-daemon: registers the probe with the probe aggregator once the local
// web server answers, and publishes the registration in the shared-memory
// block "QX_PHPAgent" until SIGINT or SIGTERM.
//
// Usage: agent-daemon --path <installation folder> | --help | --version
//
// Exit statuses:
//   0  help or version printed; normal end after SIGINT or SIGTERM
//   1  no installation folder given (usage printed)
//   2  the configuration cannot be loaded (message on standard error, usage)
//   3  the daemon could not run or stopped on an error: its log could not be
//      opened, the registration block could not be created, or an error
//      ended the main loop (logged; the block is removed)

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <curl/curl.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <string>

#include "common/AgentMetadata.h"
#include "common/VornLog.h"
#include "common/VornUtils.h"
#include "common/ZShmBase.h"
#include "common/zException.h"
#include "daemon/DaemonConfig.h"
#include "daemon/RegisterCommand.h"
#include "daemon/ServiceMain.h"

namespace po = boost::program_options;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 1;
constexpr int kExitConfiguration = 2;
constexpr int kExitFailure = 3;

void signalHandler(const boost::system::error_code& error, int signalNumber)
{
    if (error || (signalNumber != SIGINT && signalNumber != SIGTERM))
        return;
    if (ServiceMain* service = ServiceMain::instance())
        service->ioService().stop();
}

} // namespace

int main(int argc, char* argv[])
{
    DaemonConfig config;
    VornLog log;
    boost::asio::io_context ioService;

    po::options_description description;
    description.add_options()
        ("help", "produce help message")
        ("path", po::value<std::string>(), "path to the installation folder")
        ("version", "print version and exit");

    po::variables_map options;
    try {
        po::store(po::parse_command_line(argc, argv, description), options);
        po::notify(options);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
    }

    if (options.count("help")) {
        std::cout << description << std::endl;
        return kExitSuccess;
    }
    if (options.count("version")) {
        std::cout << "QX PHP Agent Daemon Build: " << RegisterCommand::kBuildNumber << std::endl;
        return kExitSuccess;
    }
    if (!options.count("path")) {
        std::cout << description << std::endl;
        return kExitUsage;
    }

    // The folder's bytes are used as they are: decoded as UTF-8 so that the
    // file names built from it are written back byte for byte.
    const std::string rawPath = options["path"].as<std::string>();
    const std::wstring installDir = vorn::fromUtf8(rawPath);
    DaemonConfig::_uptime = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();

    try {
        if (vorn::fromUtf(installDir) != rawPath)
            throw zException(L"Installation folder is not valid UTF-8: " + installDir);
        config.load(installDir);
    } catch (const std::exception& e) {
        std::cerr << "ERROR:" << e.what() << "\n";
        std::cout << description << std::endl;
        return kExitConfiguration;
    }

    // libcurl is told to leave signals alone; a peer that closes a TLS
    // connection mid-write must then not kill the daemon with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    bool blockTouched = false;
    int status = kExitSuccess;
    try {
        log.level = config.logLevel;
        log.path = config.logFile;
        log.open();
        log.logDbg1("Loaded configuration file:", installDir);

        blockTouched = true;
        ServiceMain::initialize(ioService, config, log);

        boost::asio::signal_set signals(ioService, SIGINT, SIGTERM);
        signals.async_wait(&signalHandler);
        log.logDbg1("Entering main loop");
        ioService.run();
        log.logDbg1("Going down");
        ServiceMain::free();
    } catch (const std::exception& e) {
        const zException* own = dynamic_cast<const zException*>(&e);
        log.logError("ERROR:", vorn::fromUtf8(own ? own->message : std::string(e.what())));
        // An error is not an orderly stop, but workers must still not go on
        // trusting a registration nobody maintains: clear and remove the block.
        if (ServiceMain::instance())
            ServiceMain::free();
        else if (blockTouched)
            ZShmBase::erase(vorn::toUtf(AgentMetadata::kBlockName));
        status = kExitFailure;
    }
    curl_global_cleanup();
    return status;
}
