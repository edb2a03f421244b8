#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Keeps a failure that repeats from filling the log: while an outage lasts,
// every request of every worker would otherwise write its lines.
//
// A run of failures starts with the first failure after a success (or ever)
// and ends with the next success. Within a run, the first failure of each
// kind is written at once; later ones of that kind at most once per
// interval, their line saying how many of its kind went unwritten since its
// last one (and what those carried, such as blocks lost). The success that
// ends the run says how many failures it had. Kinds are told apart by their
// text without its digits, so that a count or an address in the text does
// not make every failure a new one.
//
// No engine, no log and no clock of its own: the caller passes the time and
// writes the lines.
class VornLogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds INTERVAL{10};
    // Kinds told apart within one run; further kinds count as the last one.
    static constexpr std::size_t MAX_KINDS = 8;

    explicit VornLogLimiter(Clock::duration interval = INTERVAL);

    struct Verdict {
        bool write = false;           // write this failure's line
        uint64_t unwritten = 0;       // failures of its kind not written since its last line
        uint64_t unwrittenAmount = 0; // the amounts they carried
    };
    // One failure, carrying `amount` (what it lost, when that matters).
    Verdict failed(const std::string& text, Clock::time_point now, uint64_t amount = 0);

    // What follows a failure's line when `unwritten` failures of its kind
    // went unwritten since its last one: "(N more like it not logged since
    // its last line)".
    static std::string unwrittenNote(uint64_t unwritten);

    struct Run {
        uint64_t failures = 0;        // failures of the run, 0 when none was going on
        uint64_t unwritten = 0;       // of them, those no line was written for
        uint64_t unwrittenAmount = 0; // the amounts those carried
    };
    // The operation succeeded: ends the run, if any, and tells what it was.
    Run succeeded();
    // What the run has so far, without ending it (for a last line when the
    // owner goes away in the middle of an outage).
    Run pending() const;

private:
    struct Kind {
        std::string key;
        Clock::time_point lastWritten;
        uint64_t unwritten = 0;
        uint64_t unwrittenAmount = 0;
    };

    Clock::duration interval;
    std::vector<Kind> kinds;
    uint64_t failures = 0;
};
