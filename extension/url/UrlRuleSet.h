#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "extension/url/UrlRuleFilter.h"

namespace re2 {
class RE2;
}

// The URL rules' patterns, matched with RE2 (POSIX syntax, leftmost-longest,
// without regard to case, UTF-8), one rule at a time in file order, among
// the rules that can match the path (UrlRuleFilter finds those in one pass).
// What is accepted depends on the rules' text alone: their compiled sizes,
// never a time measured.
//
// What one path may cost is bounded by construction, whatever the rules and
// the path: RE2 matches one rule in time at most linear in the path's length
// times the rule's program, so before a rule is run on a path the most that
// run can cost is charged (runCost) against MATCH_BUDGET_NS, and a path that
// would need more is not collapsed. The charge depends on the path's length
// and the rules' sizes alone: the same path gets the same answer in every
// worker, however busy the machine.
class UrlRuleSet {
public:
    // RE2's bound on one rule's memory, compiled and while matching (it also
    // bounds the rule's program, to about a quarter of this in instructions).
    static constexpr int64_t RULE_MEMORY = int64_t{1} << 20;
    // Compiled instructions the whole file may hold, summed over its rules,
    // and the rules it may hold.
    static constexpr std::size_t FILE_INSTRUCTIONS = 450000;
    static constexpr std::size_t FILE_RULES = 25000;
    // Rules kept compiled for the next request: the rules take at most this
    // many times RULE_MEMORY, plus their text and the filter.
    static constexpr std::size_t KEPT_RULES = 16;

    // The CPU time matching one path may take, in nanoseconds, and what one
    // rule's run is charged: RUN_NS, then per byte of the path BYTE_NS (a new
    // state of RE2's automaton, the most a byte costs a small rule) and
    // BYTE_INSTRUCTION_NS per unit of the rule's size (its compiled
    // instructions or its text's bytes, whichever is more); a rule's first
    // run after it is compiled also pays for the compiling (RE2 compiles the
    // program that finds where a match starts at that run): COMPILE_NS and
    // COMPILE_INSTRUCTION_NS per unit of size, and FORGET_NS when a kept rule
    // is forgotten to make room (freeing states RE2 built, up to RULE_MEMORY).
    // The figures are upper bounds found by a search for the costliest rules
    // and paths (bench/url_rule_match), with a margin.
    static constexpr int64_t MATCH_BUDGET_NS = 18000000;
    static constexpr int64_t RUN_NS = 5000;
    static constexpr int64_t BYTE_NS = 1000;
    static constexpr int64_t BYTE_INSTRUCTION_NS = 50;
    static constexpr int64_t COMPILE_NS = 20000;
    static constexpr int64_t COMPILE_INSTRUCTION_NS = 1500;
    static constexpr int64_t FORGET_NS = 500000;
    // The filter's pass (UrlRuleFilter::candidates) is charged FILTER_NS
    // and FILTER_STEP_NS per step: at most about 3 x 8 KiB + MAX_LITERALS +
    // FILE_RULES steps for an 8 KiB path.
    static constexpr int64_t FILTER_NS = 20000;
    static constexpr int64_t FILTER_STEP_NS = 40;
    static int64_t runCost(std::size_t pathLength, std::size_t size, bool compiled);

    enum class Verdict {
        Accepted,
        Invalid,      // the C library refuses it too
        Unsupported,  // RE2 cannot say what it means, or refuses it
        OverBudget,   // past FILE_INSTRUCTIONS or FILE_RULES with the rules before it
    };
    struct Added {
        Verdict verdict = Verdict::Invalid;
        std::string reason;
    };

    // The groups of one match: $0 to $9 as the C library gives them, up to
    // the first group that took no part in it.
    static constexpr int SLOTS = 10;
    struct Match {
        int rule = -1;  // index among the accepted rules; -1: none matched
        int groupCount = 0;
        std::string groups[SLOTS];
        int64_t charged = 0;  // the runs' costs charged, in nanoseconds
    };

    UrlRuleSet();
    ~UrlRuleSet();
    UrlRuleSet(const UrlRuleSet&) = delete;
    UrlRuleSet& operator=(const UrlRuleSet&) = delete;

    // Adds the next rule of the file, in order; an accepted rule gets the
    // next index. A rule whose groups are not used (its replacement names
    // none) is only asked whether it matches.
    Added add(const std::string& posixPattern, bool groupsUsed = true);
    // Readies the filter after the last add(). False when it cannot
    // (`error` says why); it always can today.
    bool compile(std::string& error);
    // The first accepted rule (in file order) that matches anywhere in
    // `subject`, which is read up to its first NUL as the C library reads
    // it, with its groups when they are used. False with `error` set when
    // the rules left to run on it would cost more than MATCH_BUDGET_NS:
    // then no rule is applied to it.
    bool match(const std::string& subject, Match& result, std::string& error);

    std::size_t size() const { return rules.size(); }
    std::size_t instructions() const { return totalInstructions; }
    void clear();

private:
    struct Rule {
        std::string pattern;  // translated
        bool latin1 = false;
        bool groupsUsed = true;
        std::size_t size = 0;  // what its runs are charged by
        std::shared_ptr<re2::RE2> compiled;  // while kept
        bool ran = false;  // since it was compiled
    };

    const re2::RE2& compiledRule(std::size_t index);

    std::vector<Rule> rules;
    std::size_t totalInstructions = 0;
    std::vector<std::size_t> keptRules;
    std::size_t nextForgotten = 0;
    UrlRuleFilter filter;
    std::vector<int> candidates;
};
