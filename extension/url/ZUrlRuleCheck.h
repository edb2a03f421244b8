#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Every worker compiles every URL rule with the C library's regcomp() (under
// php-cgi at every request), and what that costs cannot be told from a
// pattern's text: glibc recomputes parts of the automaton once for every path
// of optional items that reaches them, so 77 bytes can take seconds and 125
// never finish. So the rules are compiled first in a child process, in file
// order, under the limits below; the worker then compiles only those that
// stayed within them. A rule that runs over is stopped there (the child is
// killed), refused, and the check goes on with the next rule in a new child.
//
// The child is a fork of the worker: same library, locale and memory, so a
// rule costs the worker what it cost the child.
class ZUrlRuleCheck {
public:
    // The CPU time of one compile varies from process to process, and with
    // what else the machine runs, by up to 1.8 times (measured by the search
    // in bench/): the time limits are half the cost the worker is promised,
    // 50 ms a rule and 250 ms for all.
    struct Limits {
        // CPU time one rule may take to compile.
        std::chrono::nanoseconds perRule = std::chrono::milliseconds(25);
        // CPU time the whole check may take: every rule compiled, kept or not,
        // counts, so a start-up spends at most this on checking and about
        // this again compiling what was kept.
        std::chrono::nanoseconds total = std::chrono::milliseconds(125);
        // Memory the kept rules may hold together, each rule's peak while it
        // is compiled included.
        std::size_t memory = std::size_t{64} << 20;
        // Stack a compile may use: glibc's compiler recurses once per nesting
        // level and once per item of a chain of optional items, and must
        // not run out of the worker's stack. At most a quarter of what the
        // calling thread has left.
        std::size_t stack = std::size_t{256} << 10;
        // Wall-clock time the check may take, forks included: a machine too
        // busy to run it in time keeps the rules checked so far.
        std::chrono::milliseconds wall = std::chrono::milliseconds(2000);
    };

    enum class Verdict {
        Accepted,
        Invalid,       // regcomp() refuses it: `error`, `errorText`
        TooSlow,       // took longer than `perRule` alone
        OverBudget,    // would take the check past `total`
        TooLarge,      // would take the kept rules past `memory`
        CompilerFailed,// the compiler crashed (its stack ran out): `signal`
        NotChecked,    // no child could be started, or `wall` ran out
    };

    struct Result {
        Verdict verdict = Verdict::NotChecked;
        int error = 0;
        std::string errorText;
        int signal = 0;
        // CPU time of its compile, and what the compiled rule holds (both
        // zero for a rule that was not compiled to the end).
        std::chrono::nanoseconds cpu{0};
        std::size_t memory = 0;
        // What the rules checked before it had taken.
        std::chrono::nanoseconds cpuBefore{0};
        std::size_t memoryBefore = 0;
    };

    // One result per pattern, in order. `flags` are regcomp()'s. Forks when
    // there is a pattern; `failure` says why no child could be started.
    static std::vector<Result> check(const std::vector<std::string>& patterns, int flags, const Limits& limits,
                                     std::string* failure = nullptr);

    // Why a rule was not kept, for the log.
    static std::string reason(const Result& result, const Limits& limits);
};
