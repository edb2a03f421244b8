#include "extension/report/ZEventsReporter.h"

#include <atomic>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/report/ZBlockSender.h"
#include "extension/report/ZEventsChannelNull.h"
#include "extension/report/ZEventsChannelThrift.h"

namespace {

// Runs one call on the channel so that only zException leaves it, whatever
// the channel lets through.
template <typename Call>
void onChannel(Call call)
{
    try {
        call();
    } catch (const zException&) {
        throw;
    } catch (const std::exception& e) {
        throw zException(vorn::toUtf(e.what()));
    } catch (...) {
        throw zException(L"Unknown failure of the event channel");
    }
}

// The request's new symbols only grow between resets (texts are added,
// never removed), so a table of the fixed count holds the fixed entries
// alone: nothing to merge or reset, as is the case on most requests once
// the worker has announced its paths and names.
bool holdsFixedSymbolsOnly(const ZSymbolTable& table)
{
    return table.size() == ZSymbolTable::FIXED_COUNT;
}

// What follows a failure's line when failures of its kind went unlogged
// since its last one.
std::string unloggedNote(uint64_t failures)
{
    return VornLogLimiter::unwrittenNote(failures);
}

std::string unloggedNote(uint64_t failures, uint64_t blocks)
{
    return "(" + std::to_string(failures) + " more like it not logged since its last line, " + std::to_string(blocks)
           + " blocks not delivered in them)";
}

// Generations are unique in the process, not per reporter: a reporter made
// where an earlier one stood can never match a token kept from that one.
uint64_t newTokenGeneration()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

} // namespace

ZEventsReporter::ZEventsReporter(const VornLog& log, const QuilletGlobals& globals)
    : log(log), tokenGeneration_(newTokenGeneration())
{
    if (globals.use_event_channel_null) {
        channel.reset(new ZEventsChannelNull(log));
    } else {
        channel.reset(new ZEventsChannelThrift(log));
    }
}

ZEventsReporter::ZEventsReporter(const VornLog& log, const boost::shared_ptr<IEventsChannel>& channel)
    : channel(channel), log(log), tokenGeneration_(newTokenGeneration())
{
    if (!this->channel) {
        this->channel.reset(new ZEventsChannelThrift(log));
    }
}

ZEventsReporter::~ZEventsReporter()
{
    try {
        const VornLogLimiter::Run handshakes = handshakeFailures.pending();
        if (handshakes.unwritten > 0)
            log.logError("Failed to handshake with PA!", unloggedNote(handshakes.unwritten));
        const VornLogLimiter::Run sends = sendFailures.pending();
        if (sends.unwritten > 0)
            log.logError("Failed to report events:", unloggedNote(sends.unwritten, sends.unwrittenAmount));
    } catch (...) {
        // Only the last lines are lost.
    }
}

void ZEventsReporter::logHandshakeFailure(const std::string& why, const std::wstring& host, int32_t port)
{
    const VornLogLimiter::Verdict verdict = handshakeFailures.failed(why, std::chrono::steady_clock::now());
    if (!verdict.write)
        return;
    if (verdict.unwritten > 0)
        log.logError("Failed to handshake with PA!", why, unloggedNote(verdict.unwritten));
    else
        log.logError("Failed to handshake with PA!", why);
    log.logError(host, ":", port);
}

void ZEventsReporter::logSendFailure(const std::string& why)
{
    const VornLogLimiter::Verdict verdict =
        sendFailures.failed(why, std::chrono::steady_clock::now(), ZBlockSender::blocksNotDelivered(why));
    if (!verdict.write)
        return;
    if (verdict.unwritten > 0)
        log.logError("Failed to report events:", why, unloggedNote(verdict.unwritten, verdict.unwrittenAmount));
    else
        log.logError("Failed to report events:", why);
}

int32_t ZEventsReporter::addString(const std::string& text)
{
    auto known = knownSymbols.symbols.find(text);
    if (known != knownSymbols.symbols.end()) {
        return known->second;
    }
    return newSymbols.add(text, -1);
}

bool ZEventsReporter::removeEventByLocationId(int32_t id)
{
    for (auto it = events.begin(); it != events.end(); ++it) {
        if (*it && (*it)->locationId == id) {
            events.erase(it);
            return true;
        }
    }
    return false;
}

bool ZEventsReporter::dropInheritedConnection()
{
    if (!channel || !channel->madeByAnotherProcess())
        return false;
    // Blocks of two processes on one connection would interleave, and their
    // symbol tokens clash: each process has its own connection.
    log.logDbg1("The connection to the aggregator was made by another process; this one makes its own");
    replaceChannel();
    return true;
}

void ZEventsReporter::handshake(const IEventsChannel::HandshakeData& data)
{
    dropInheritedConnection();
    log.logDbg1("Checking if handshake is needed...");
    if (handshaken) {
        log.logDbg1("No need for handshake - already done");
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    if (started < handshakePausedUntil) {
        throw zException(L"Not tried: an earlier handshake ran into a time limit; retried after a pause");
    }
    log.logDbg1("Performing handshake...");
    try {
        onChannel([&] { channel->handshake(data); });
    } catch (const zException&) {
        // A peer that accepts but does not answer would hold every collected
        // request for the channel's whole time limit: after such a slow
        // failure, requests go on without trying for a while. A quick failure
        // (nothing listening) is tried again at the next request.
        const auto ended = std::chrono::steady_clock::now();
        if (ended - started >= SLOW_HANDSHAKE)
            handshakePausedUntil = ended + handshakePause;
        throw;
    }
    log.logDbg1("Performing handshake...done");
    handshaken = true;
    const VornLogLimiter::Run run = handshakeFailures.succeeded();
    if (run.failures > 0) {
        log.logSystem("Handshake with PA recovered after", run.failures, "failures",
                      "(" + std::to_string(run.unwritten) + " of them not logged)");
    }
}

void ZEventsReporter::send()
{
    dropInheritedConnection();
    if (!handshaken) {
        throw zException(L"Failed to send symbol table: not connected");
    }
    if (!fullTableSent) {
        // The first block of a connection announces every symbol the worker
        // ever announced, so a fresh connection learns the earlier tokens.
        newSymbols.merge(knownSymbols);
        fullTableSent = true;
    }
    try {
        log.logDbg1("Sending data...");
        onChannel([&] { channel->send(newSymbols, locations, events); });
        log.logDbg1("Sending data...done");
    } catch (const zException&) {
        replaceChannel();
        throw;
    }
    const VornLogLimiter::Run run = sendFailures.succeeded();
    if (run.failures > 0) {
        log.logSystem("Reporting events recovered after", run.failures, "failures",
                      "(" + std::to_string(run.unwritten) + " of them not logged, "
                          + std::to_string(run.unwrittenAmount) + " blocks not delivered in those)");
    }
}

void ZEventsReporter::replaceChannel()
{
    // Releasing the old channel closes its connection. The next collected
    // request handshakes the new one.
    channel.reset(new ZEventsChannelThrift(VornLog(log)));
    handshaken = false;
    fullTableSent = false;
}

void ZEventsReporter::finalizeRequest()
{
    log.logDbg1("Finalizing request");
    locations.locations.clear();
    if (!holdsFixedSymbolsOnly(newSymbols)) {
        for (const auto& entry : newSymbols.symbols) {
            // The fixed entries are in every table, the known one included.
            if (ZSymbolTable::isFixedToken(entry.second))
                continue;
            if (knownSymbols.symbols.insert(entry).second)
                knownSymbolBytes += entry.first.size() + SYMBOL_ENTRY_OVERHEAD;
        }
        newSymbols.reset();
    }
    if (knownSymbolBytes > MAX_KNOWN_SYMBOL_BYTES) {
        // Every distinct text stays known for the worker's life: paths that
        // are never collapsed would make that grow without end. Forgotten
        // texts are announced again, under new tokens, when next used.
        log.logDbg1("Known symbols exceed", static_cast<unsigned long>(MAX_KNOWN_SYMBOL_BYTES),
                    "bytes; they are forgotten");
        knownSymbols.reset();
        knownSymbolBytes = 0;
        tokenGeneration_ = newTokenGeneration();
    }
    events.clear();
    log.logDbg1("Finalizing request...done");
}

void ZEventsReporter::dropNewSymbols()
{
    if (holdsFixedSymbolsOnly(newSymbols))
        return;
    if (newSymbols.size() > ZSymbolTable::FIXED_COUNT)
        tokenGeneration_ = newTokenGeneration();
    newSymbols.reset();
}

void ZEventsReporter::clear()
{
    tokenGeneration_ = newTokenGeneration();
    locations.locations.clear();
    knownSymbols.reset();
    knownSymbolBytes = 0;
    newSymbols.reset();
    events.clear();
}
