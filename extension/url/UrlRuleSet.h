#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace re2 {
class RE2;
}

// The URL rules' patterns, matched with RE2 (POSIX syntax, leftmost-longest,
// without regard to case, UTF-8): every rule is matched in time linear in
// the path, with memory bounded by the sizes below, whatever its text.
//
// All rules are matched together in one pass over the path (an RE2::Set,
// one automaton for the whole file); only the first rule that matched is
// then run alone for its groups. What is accepted depends on the rules'
// text alone: their compiled sizes, never a time measured.
class UrlRuleSet {
public:
    // RE2's bound on one rule's memory, compiled and while matching (it also
    // bounds the rule's program, to about a quarter of this in instructions).
    static constexpr int64_t RULE_MEMORY = int64_t{1} << 20;
    // Compiled instructions the whole file may hold, summed over its rules,
    // and the rules it may hold: together they bound the memory the rules
    // hold (about 24 MB for 20,000 rules of 20 instructions) and the time
    // loading them takes (about 0.35 s for those).
    static constexpr std::size_t FILE_INSTRUCTIONS = 450000;
    static constexpr std::size_t FILE_RULES = 25000;
    // RE2's bound on the automaton that matches every rule at once: its
    // program and the states it builds while matching.
    static constexpr int64_t SET_MEMORY = int64_t{40} << 20;
    // Rules compiled alone for their groups and kept for the next request.
    static constexpr std::size_t KEPT_RULES = 8;

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
    };

    UrlRuleSet();
    ~UrlRuleSet();
    UrlRuleSet(const UrlRuleSet&) = delete;
    UrlRuleSet& operator=(const UrlRuleSet&) = delete;

    // Adds the next rule of the file, in order; an accepted rule gets the
    // next index. A rule whose groups are not used (its replacement names
    // none) is never compiled alone: the automaton's answer is all its match
    // needs.
    Added add(const std::string& posixPattern, bool groupsUsed = true);
    // Builds the automaton after the last add(). False, and no rule kept,
    // when RE2 cannot (`error` says why).
    bool compile(std::string& error);
    // The first accepted rule (in file order) that matches anywhere in
    // `subject`, which is read up to its first NUL as the C library reads
    // it, with its groups when they are used. False with `error` set when
    // the automaton ran out of its memory: then no rule matches.
    bool match(const std::string& subject, Match& result, std::string& error);

    std::size_t size() const { return rules.size(); }
    std::size_t instructions() const { return totalInstructions; }
    void clear();

private:
    struct Rule {
        std::string pattern;  // translated
        bool latin1 = false;
        bool groupsUsed = true;
        std::shared_ptr<re2::RE2> compiled;  // while kept
    };
    struct Automaton;

    const re2::RE2& compiledRule(std::size_t index);

    std::vector<Rule> rules;
    std::size_t totalInstructions = 0;
    std::size_t kept = 0;
    std::unique_ptr<Automaton> utf8;
    std::unique_ptr<Automaton> latin1;
};
