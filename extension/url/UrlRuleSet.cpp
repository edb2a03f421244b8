#include "extension/url/UrlRuleSet.h"

#include "extension/url/PosixToRe2.h"

#include <re2/re2.h>

#include <algorithm>

namespace {

RE2::Options optionsFor(bool latin1, int64_t maxMem)
{
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_case_sensitive(false);
    options.set_dot_nl(true);  // "." matches a newline, as without REG_NEWLINE
    options.set_log_errors(false);
    options.set_encoding(latin1 ? RE2::Options::EncodingLatin1 : RE2::Options::EncodingUTF8);
    options.set_max_mem(maxMem);
    return options;
}

std::string overBudget(std::size_t length)
{
    return "Matching a path of " + std::to_string(length) + " bytes against the URL rules could take more than "
           + std::to_string(UrlRuleSet::MATCH_BUDGET_NS / 1000000) + " ms; no rule is applied to it";
}

} // namespace

int64_t UrlRuleSet::runCost(std::size_t pathLength, std::size_t size, bool compiled)
{
    const auto length = static_cast<int64_t>(pathLength);
    const auto units = static_cast<int64_t>(size);
    return RUN_NS + length * (BYTE_NS + BYTE_INSTRUCTION_NS * units)
           + (compiled ? 0 : COMPILE_NS + COMPILE_INSTRUCTION_NS * units);
}

UrlRuleSet::UrlRuleSet() = default;
UrlRuleSet::~UrlRuleSet() = default;

void UrlRuleSet::clear()
{
    rules.clear();
    totalInstructions = 0;
    keptRules.clear();
    nextForgotten = 0;
    filter.clear();
}

UrlRuleSet::Added UrlRuleSet::add(const std::string& posixPattern, bool groupsUsed)
{
    Added added;
    if (rules.size() >= FILE_RULES) {
        added.verdict = Verdict::OverBudget;
        added.reason = "The file holds more than the " + std::to_string(FILE_RULES) + " rules it may";
        return added;
    }
    const PosixToRe2::Translation t = PosixToRe2::translate(posixPattern);
    if (t.outcome != PosixToRe2::Outcome::Translated) {
        added.verdict = t.outcome == PosixToRe2::Outcome::Invalid ? Verdict::Invalid : Verdict::Unsupported;
        added.reason = t.outcome == PosixToRe2::Outcome::Invalid ? t.reason : "It holds " + t.reason + ", which is not supported";
        return added;
    }
    // Compiled once, for its size; compiled again, when it was not kept,
    // only when it is run on a path.
    auto alone = std::make_shared<RE2>(t.pattern, optionsFor(t.latin1, RULE_MEMORY));
    if (!alone->ok()) {
        added.verdict = Verdict::Unsupported;
        added.reason = "It cannot be matched in bounded time and memory: " + alone->error();
        return added;
    }
    const auto size = static_cast<std::size_t>(alone->ProgramSize());
    if (totalInstructions + size > FILE_INSTRUCTIONS) {
        added.verdict = Verdict::OverBudget;
        added.reason = "The rules before it take " + std::to_string(totalInstructions) + " of the "
                       + std::to_string(FILE_INSTRUCTIONS) + " compiled instructions all rules may hold; it takes "
                       + std::to_string(size);
        return added;
    }
    filter.add(static_cast<int>(rules.size()), UrlRuleFilter::requiredLiterals(t.pattern));
    totalInstructions += size;
    // The first few are kept compiled: a small file's rules are never
    // compiled twice.
    if (keptRules.size() < KEPT_RULES)
        keptRules.push_back(rules.size());
    else
        alone.reset();
    // Compiling and running take time with the program and with the pattern
    // (RE2 reads every piece of it, even those it then folds together).
    rules.push_back(Rule{t.pattern, t.latin1, groupsUsed, std::max(size, posixPattern.size()), std::move(alone)});
    added.verdict = Verdict::Accepted;
    return added;
}

bool UrlRuleSet::compile(std::string& /*error*/)
{
    filter.build();
    return true;
}

const RE2& UrlRuleSet::compiledRule(std::size_t index)
{
    Rule& rule = rules[index];
    if (!rule.compiled) {
        // The rule kept longest is forgotten, so that at most KEPT_RULES are
        // held, and one run frees at most one.
        if (keptRules.size() == KEPT_RULES) {
            rules[keptRules[nextForgotten]].compiled.reset();
            keptRules[nextForgotten] = index;
            nextForgotten = (nextForgotten + 1) % KEPT_RULES;
        } else {
            keptRules.push_back(index);
        }
        rule.compiled = std::make_shared<RE2>(rule.pattern, optionsFor(rule.latin1, RULE_MEMORY));
        rule.ran = false;
    }
    return *rule.compiled;
}

bool UrlRuleSet::match(const std::string& subject, Match& result, std::string& error)
{
    result.rule = -1;
    result.groupCount = 0;
    result.charged = 0;
    const re2::StringPiece text(subject.data(), std::min(subject.find('\0'), subject.size()));
    // A path so long that no rule could be run on it within the budget is
    // not even read (which bounds the filter's pass as well).
    if (FILTER_NS + runCost(text.size(), 1, true) > MATCH_BUDGET_NS) {
        error = overBudget(text.size());
        return false;
    }
    // Finding the candidates is charged too, once it is done: its steps are
    // bounded whatever the path.
    result.charged = FILTER_NS + FILTER_STEP_NS * static_cast<int64_t>(filter.candidates(text.data(), text.size(), candidates));
    for (int index : candidates) {
        Rule& rule = rules[static_cast<std::size_t>(index)];
        int64_t cost = runCost(text.size(), rule.size, rule.compiled != nullptr && rule.ran);
        if (!rule.compiled && keptRules.size() == KEPT_RULES)
            cost += FORGET_NS;
        if (result.charged + cost > MATCH_BUDGET_NS) {
            error = overBudget(text.size());
            return false;
        }
        result.charged += cost;
        const RE2& re = compiledRule(static_cast<std::size_t>(index));
        rule.ran = true;
        if (!re.ok())
            continue;
        if (!rule.groupsUsed) {
            if (!re.Match(text, 0, text.size(), RE2::UNANCHORED, nullptr, 0))
                continue;
            result.rule = index;
            return true;
        }
        const int slots = std::min(SLOTS, re.NumberOfCapturingGroups() + 1);
        re2::StringPiece groups[SLOTS];
        if (!re.Match(text, 0, text.size(), RE2::UNANCHORED, groups, slots))
            continue;
        result.rule = index;
        // $N stands for a group up to the first that took no part.
        for (; result.groupCount < slots && groups[result.groupCount].data() != nullptr; ++result.groupCount)
            result.groups[result.groupCount].assign(groups[result.groupCount].data(), groups[result.groupCount].size());
        return true;
    }
    return true;
}
