#include "common/VornLogLimiter.h"

namespace {

// The failure's kind: its text without digits.
std::string kindOf(const std::string& text)
{
    std::string key;
    key.reserve(text.size());
    for (char c : text) {
        if (c < '0' || c > '9')
            key.push_back(c);
    }
    return key;
}

} // namespace

VornLogLimiter::VornLogLimiter(Clock::duration interval) : interval(interval) {}

std::string VornLogLimiter::unwrittenNote(uint64_t unwritten)
{
    return "(" + std::to_string(unwritten) + " more like it not logged since its last line)";
}

VornLogLimiter::Verdict VornLogLimiter::failed(const std::string& text, Clock::time_point now, uint64_t amount)
{
    ++failures;
    const std::string key = kindOf(text);
    Kind* kind = nullptr;
    for (Kind& known : kinds) {
        if (known.key == key) {
            kind = &known;
            break;
        }
    }
    Verdict verdict;
    if (kind == nullptr && kinds.size() < MAX_KINDS) {
        kinds.push_back(Kind{key, now, 0, 0});
        verdict.write = true;
        return verdict;
    }
    if (kind == nullptr)
        kind = &kinds.back();
    if (now - kind->lastWritten < interval) {
        ++kind->unwritten;
        kind->unwrittenAmount += amount;
        return verdict;
    }
    verdict.write = true;
    verdict.unwritten = kind->unwritten;
    verdict.unwrittenAmount = kind->unwrittenAmount;
    kind->lastWritten = now;
    kind->unwritten = 0;
    kind->unwrittenAmount = 0;
    return verdict;
}

VornLogLimiter::Run VornLogLimiter::pending() const
{
    Run run;
    run.failures = failures;
    for (const Kind& kind : kinds) {
        run.unwritten += kind.unwritten;
        run.unwrittenAmount += kind.unwrittenAmount;
    }
    return run;
}

VornLogLimiter::Run VornLogLimiter::succeeded()
{
    const Run run = pending();
    failures = 0;
    kinds.clear();
    return run;
}
