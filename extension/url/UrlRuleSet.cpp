#include "extension/url/UrlRuleSet.h"

#include "extension/url/PosixToRe2.h"

#include <re2/re2.h>
#include <re2/set.h>

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

} // namespace

struct UrlRuleSet::Automaton {
    explicit Automaton(bool latin1) : set(optionsFor(latin1, SET_MEMORY), RE2::UNANCHORED) {}
    RE2::Set set;
    std::vector<int> ruleOf;  // the rule's index, by the set's index
};

UrlRuleSet::UrlRuleSet() = default;
UrlRuleSet::~UrlRuleSet() = default;

void UrlRuleSet::clear()
{
    rules.clear();
    totalInstructions = 0;
    kept = 0;
    utf8.reset();
    latin1.reset();
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
    // Compiled alone once, for its size; compiled again, when it was not
    // kept, only when it is the first to match.
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
    std::unique_ptr<Automaton>& automaton = t.latin1 ? latin1 : utf8;
    if (!automaton)
        automaton.reset(new Automaton(t.latin1));
    std::string error;
    if (automaton->set.Add(t.pattern, &error) < 0) {
        added.verdict = Verdict::Unsupported;
        added.reason = "It cannot be matched in bounded time and memory: " + error;
        return added;
    }
    automaton->ruleOf.push_back(static_cast<int>(rules.size()));
    totalInstructions += size;
    // The first few whose groups are used are kept compiled: a small file's
    // rules are never compiled twice.
    if (groupsUsed && kept < KEPT_RULES)
        ++kept;
    else
        alone.reset();
    rules.push_back(Rule{t.pattern, t.latin1, groupsUsed, std::move(alone)});
    added.verdict = Verdict::Accepted;
    return added;
}

bool UrlRuleSet::compile(std::string& error)
{
    for (std::unique_ptr<Automaton>* automaton : {&utf8, &latin1}) {
        if (*automaton && !(*automaton)->set.Compile()) {
            error = "the automaton of all rules needs more than " + std::to_string(SET_MEMORY >> 20) + " MB";
            clear();
            return false;
        }
    }
    return true;
}

const RE2& UrlRuleSet::compiledRule(std::size_t index)
{
    Rule& rule = rules[index];
    if (!rule.compiled) {
        // Kept rules are forgotten all at once, so that at most KEPT_RULES
        // are held.
        if (kept == KEPT_RULES) {
            for (Rule& r : rules)
                r.compiled.reset();
            kept = 0;
        }
        rule.compiled = std::make_shared<RE2>(rule.pattern, optionsFor(rule.latin1, RULE_MEMORY));
        ++kept;
    }
    return *rule.compiled;
}

bool UrlRuleSet::match(const std::string& subject, Match& result, std::string& error)
{
    result.rule = -1;
    result.groupCount = 0;
    const re2::StringPiece text(subject.data(), subject.find('\0') == std::string::npos ? subject.size()
                                                                                       : subject.find('\0'));
    // Rules in file order: the first of those either automaton found.
    std::vector<int> matched;
    for (const std::unique_ptr<Automaton>* automaton : {&utf8, &latin1}) {
        if (!*automaton)
            continue;
        std::vector<int> found;
        RE2::Set::ErrorInfo info{};
        if (!(*automaton)->set.Match(text, &found, &info) && info.kind != RE2::Set::kNoError) {
            error = info.kind == RE2::Set::kOutOfMemory
                        ? "Matching the URL rules needed more than their " + std::to_string(SET_MEMORY >> 20)
                              + " MB; no rule is applied to this path"
                        : "The URL rules could not be matched; no rule is applied to this path";
            return false;
        }
        for (int i : found)
            matched.push_back((*automaton)->ruleOf[static_cast<std::size_t>(i)]);
    }
    std::sort(matched.begin(), matched.end());
    for (int index : matched) {
        if (!rules[static_cast<std::size_t>(index)].groupsUsed) {
            result.rule = index;
            return true;
        }
        const RE2& re = compiledRule(static_cast<std::size_t>(index));
        if (!re.ok())
            continue;
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
