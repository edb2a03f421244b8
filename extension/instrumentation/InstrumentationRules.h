#pragma once

#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

class ZCaptureEvent;
class ZLocationTable;
class ZSymbolTable;

// The engine-free rules of the instrumentation: call and depth limits, the
// slow-call test, the per-request exception limit, argument indexes, the cut
// of backtraces, and the clean-up of calls that never ended.
class InstrumentationRules {
public:
    // Another call may be captured while capturedCount <= maxFunctions: a limit
    // of N lets N + 1 calls through. Compared as unsigned 64-bit values, so a
    // negative count (never expected) counts as over the limit.
    static bool withinCallLimit(int64_t capturedCount, uint64_t maxFunctions)
    {
        return static_cast<uint64_t>(capturedCount) <= maxFunctions;
    }

    // A call at this depth may be instrumented (depth <= maxDepth, unsigned).
    static bool withinDepth(int64_t depth, uint64_t maxDepth)
    {
        return static_cast<uint64_t>(depth) <= maxDepth;
    }

    // A call that lasted elapsedMs is slow. The threshold is widened with its
    // sign and compared unsigned, so a negative threshold is never reached and
    // a threshold of 0 makes every call slow.
    static bool isSlow(uint64_t elapsedMs, int32_t thresholdMs)
    {
        return elapsedMs >= static_cast<uint64_t>(static_cast<int64_t>(thresholdMs));
    }

    // No more exception details once `reported` exceptions were attached.
    static bool exceptionLimitReached(std::size_t reported, uint64_t maxExceptions)
    {
        return static_cast<uint64_t>(reported) >= maxExceptions;
    }

    // Argument `index` (from 0) exists in a call with `count` arguments.
    static bool argumentIndexValid(int64_t index, int64_t count)
    {
        return index >= 0 && index < count;
    }

    // A built-in function (lower-case name) whose calls the engine's compiler
    // may turn into a dedicated operation that never calls the function.
    static bool compilerReplacesCalls(const std::string& lowerName);

    // The first `count` lines of `text` (split at "\n"), each followed by
    // "\r\n\t"; empty when count <= 0. A trailing "\n" does not start an
    // extra empty line.
    static std::string firstLines(const std::string& text, int64_t count);

    // Removes every method start event (plain or remote) whose call has no end
    // event in the list and whose location is not in `carried`; returns how
    // many were removed. A request cut short by a fatal error or a time-out
    // leaves such events behind: their locations never reached the request's
    // table. The request's own root start (its end comes later, its location
    // is carried) stays.
    // Drops a request that the probe itself failed to finish: its events, its
    // locations and the symbols it announced first. Unlike the normal end of a
    // request, those symbols do not join the ones the peer knows: it never
    // received them, and a later block on the same connection would refer to
    // them without announcing them.
    static void dropRequest(std::list<boost::shared_ptr<ZCaptureEvent>>& events, ZLocationTable& locations,
                            ZSymbolTable& newSymbols);

    static std::size_t dropUnfinishedStarts(std::list<boost::shared_ptr<ZCaptureEvent>>& events,
                                            const ZLocationTable& carried);
};
