// Hunts for a URL rule that the compile-cost check accepts but that costs a
// worker more than the limits to compile, and for a rules file whose kept
// rules together cost more than the whole-file limits.
//
// Patterns are generated and mutated, weighted toward what makes glibc's
// regcomp() costly: optional items, loops whose body can match the empty
// string, alternations of optional items, long bracket expressions and
// nested counts. Each one goes through the check as the URL manager runs it;
// each one the check keeps is compiled again in a fresh child, and its CPU
// time and peak memory are measured. The costliest kept rules are mutated
// further. Files are built from the costliest rules found and checked and
// measured whole.
//
//   url_rule_search [--seconds N] [--seed N] [--locale NAME]
#include "extension/url/ZUrlRuleCheck.h"

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <poll.h>
#include <regex.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kFlags = REG_EXTENDED | REG_ICASE;
using Clock = std::chrono::steady_clock;

struct Cost {
    double cpuMs = 0;
    double peakMb = 0;
    bool finished = false;
};

long statusKb(const char* field)
{
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr)
        return 0;
    char line[256];
    long value = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, length) == 0) {
            value = std::atol(line + length + 1);
            break;
        }
    std::fclose(f);
    return value;
}

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// In a process of its own (`--measure`): compiles the patterns read from
// standard input (each ended by a NUL byte) one after the other, keeping
// them as a worker does, and writes the CPU time of all the compiles and the
// peak of resident memory over what the process had before them.
int measureHere()
{
    std::string input;
    char chunk[65536];
    for (ssize_t n; (n = read(STDIN_FILENO, chunk, sizeof chunk)) > 0;)
        input.append(chunk, static_cast<std::size_t>(n));
    std::vector<std::string> patterns;
    for (std::size_t start = 0, end; (end = input.find('\0', start)) != std::string::npos; start = end + 1)
        patterns.push_back(input.substr(start, end - start));
    input.clear();
    input.shrink_to_fit();
    const long rssBefore = statusKb("VmRSS:");
    const double start = threadCpuMs();
    std::vector<regex_t> kept(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i)
        regcomp(&kept[i], patterns[i].c_str(), kFlags);
    Cost cost;
    cost.cpuMs = threadCpuMs() - start;
    cost.peakMb = static_cast<double>(statusKb("VmHWM:") - rssBefore) / 1024.0;
    cost.finished = true;
    return write(STDOUT_FILENO, &cost, sizeof cost) == static_cast<ssize_t>(sizeof cost) ? 0 : 1;
}

// The cost of compiling the patterns in a new process (a fork would inherit
// this one's free memory, and the compiles would reuse it unseen). Killed
// after `wallSeconds`.
Cost measure(const std::vector<std::string>& patterns, double wallSeconds)
{
    int in[2];
    int out[2];
    if (pipe(in) != 0)
        return {};
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execl("/proc/self/exe", "url_rule_search", "--measure", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string input;
    for (const std::string& pattern : patterns)
        input.append(pattern).push_back('\0');
    std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < input.size();) {
        const ssize_t n = write(in[1], input.data() + done, input.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(in[1]);
    Cost cost;
    pollfd waiting{out[0], POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(wallSeconds * 1000)) <= 0
        || read(out[0], &cost, sizeof cost) != static_cast<ssize_t>(sizeof cost))
        cost = Cost{};
    close(out[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return cost;
}

// The same compiles measured `times` times over: one measure on a shared
// machine can be twice the usual (another process's load, the CPU's clock).
struct Spread {
    double medianMs = 0;
    double minMs = 0;
    double maxMs = 0;
    double medianMb = 0;
    double maxMb = 0;
    bool finished = true;
};

Spread repeated(const std::vector<std::string>& patterns, int times, double wallSeconds)
{
    std::vector<double> ms;
    std::vector<double> mb;
    Spread spread;
    for (int i = 0; i < times; ++i) {
        const Cost cost = measure(patterns, wallSeconds);
        spread.finished = spread.finished && cost.finished;
        ms.push_back(cost.cpuMs);
        mb.push_back(cost.peakMb);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(mb.begin(), mb.end());
    spread.medianMs = ms[ms.size() / 2];
    spread.minMs = ms.front();
    spread.maxMs = ms.back();
    spread.medianMb = mb[mb.size() / 2];
    spread.maxMb = mb.back();
    return spread;
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : random(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random); }

    std::string atom()
    {
        switch (below(12)) {
        case 0:
            return "[a-z]";
        case 1:
            return "[^/]";
        case 2:
            return ".";
        case 3:
            return longBracket();
        case 4:
            return "[[:alnum:]_-]";
        case 5:
            return "\xC3\xA9";
        case 6:
            return chance(0.5) ? "^" : "$";
        case 7:
            return chance(0.5) ? "\\b" : "\\<";
        case 8:
            return "/";
        default:
            return std::string(1, static_cast<char>('a' + below(3)));
        }
    }

    std::string longBracket()
    {
        const int members = chance(0.8) ? 1 + below(40) : 1 + below(60000);
        std::string out = chance(0.3) ? "[^" : "[";
        for (int i = 0; i < members; ++i) {
            if (chance(0.5))
                out += std::string(1, static_cast<char>('a' + below(26)));
            else
                out += "\xC3" + std::string(1, static_cast<char>(0x80 + below(64)));
        }
        return out + "]";
    }

    std::string quantifier()
    {
        switch (below(11)) {
        case 0:
        case 1:
            return "?";
        case 2:
            return "??";
        case 3:
        case 4:
            return "*";
        case 5:
            return "+";
        case 6:
            return "*?";
        case 7:
            return "{0," + std::to_string(1 + below(chance(0.8) ? 20 : 400)) + "}";
        case 8:
            return "{" + std::to_string(below(5)) + "," + std::to_string(5 + below(60)) + "}";
        case 9:
            return "{" + std::to_string(below(10)) + ",}";
        default:
            return "{" + std::to_string(1 + below(chance(0.8) ? 10 : 300)) + "}";
        }
    }

    // An item: an atom or a group, often quantified.
    std::string item(int depth)
    {
        std::string out;
        if (depth < 4 && chance(0.35)) {
            out = "(";
            const int branches = chance(0.6) ? 1 : 2 + below(3);
            for (int b = 0; b < branches; ++b) {
                if (b > 0)
                    out += "|";
                const int items = chance(0.15) ? 0 : 1 + below(3);
                for (int i = 0; i < items; ++i)
                    out += item(depth + 1);
            }
            out += ")";
        } else {
            out = atom();
        }
        if (chance(0.6))
            out += quantifier();
        return out;
    }

    // The shapes that double glibc's work: optional items ahead of a loop
    // whose body can match the empty string, nested counts, anchors before
    // optional copies.
    std::string family()
    {
        const int n = 1 + below(30);
        std::string out;
        switch (below(7)) {
        case 0:
            for (int i = 0; i < n; ++i)
                out += "a??";
            return out + "(x?)*";
        case 1:
            for (int i = 0; i < n; ++i)
                out += "([a-z]*)?";
            return out + "(/?[^/]*)*";
        case 2:
            out = "(";
            for (int i = 0; i < n; ++i)
                out += "a??";
            return out + ")*";
        case 3:
            return "((a{1," + std::to_string(1 + below(40)) + "}){1," + std::to_string(1 + below(40)) + "})*";
        case 4:
            return "^(a?){1," + std::to_string(1 + below(200)) + "}";
        case 5:
            for (int i = 0; i < n; ++i)
                out += "(a?|b?)";
            return out + "(c*)*";
        default:
            return longBracket() + "{0," + std::to_string(1 + below(400)) + "}";
        }
    }

    std::string fresh()
    {
        if (chance(0.3))
            return family();
        std::string out;
        const int items = 1 + below(12);
        for (int i = 0; i < items; ++i)
            out += item(0);
        return out;
    }

    std::string mutate(const std::string& p)
    {
        if (p.empty())
            return fresh();
        const std::size_t a = static_cast<std::size_t>(below(static_cast<int>(p.size())));
        const std::size_t b = a + static_cast<std::size_t>(below(static_cast<int>(p.size() - a))) + 1;
        const std::string piece = p.substr(a, b - a);
        switch (below(8)) {
        case 0:
            return p.substr(0, b) + piece + p.substr(b);  // repeat a piece
        case 1:
            return p.substr(0, a) + item(1) + p.substr(a);
        case 2:
            return p.substr(0, a) + "(" + piece + ")" + quantifier() + p.substr(b);
        case 3:
            return "a??" + p;
        case 4:
            return p + "(" + item(1) + "?)*";
        case 5:
            return "(" + p + "|" + item(1) + "?)";
        case 6:
            return "(" + p + ")" + quantifier();
        default:
            return p.substr(0, a) + p.substr(b);
        }
    }

private:
    std::mt19937_64 random;
};

struct Found {
    std::string pattern;
    Cost cost;
};

std::string shown(const std::string& pattern)
{
    std::string out;
    for (unsigned char c : pattern.substr(0, 90))
        out += c < 0x20 ? '?' : static_cast<char>(c);
    if (pattern.size() > 90)
        out += "... (" + std::to_string(pattern.size()) + " bytes)";
    return out;
}

const char* verdictName(ZUrlRuleCheck::Verdict v)
{
    switch (v) {
    case ZUrlRuleCheck::Verdict::Accepted: return "kept";
    case ZUrlRuleCheck::Verdict::Invalid: return "invalid";
    case ZUrlRuleCheck::Verdict::TooSlow: return "over a rule's time";
    case ZUrlRuleCheck::Verdict::OverBudget: return "over the file's time";
    case ZUrlRuleCheck::Verdict::TooLarge: return "over the memory";
    case ZUrlRuleCheck::Verdict::CompilerFailed: return "compiler failed";
    case ZUrlRuleCheck::Verdict::NotChecked: return "not checked";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 120;
    std::uint64_t seed = 1;
    std::string locale = "C.UTF-8";
    if (argc == 2 && !std::strcmp(argv[1], "--measure"))
        return measureHere();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seed"))
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--locale"))
            locale = argv[i + 1];
    }
    if (std::setlocale(LC_CTYPE, locale.c_str()) == nullptr)
        std::fprintf(stderr, "locale %s not available; using C\n", locale.c_str());

    const ZUrlRuleCheck::Limits limits;
    Generator generator(seed);
    std::vector<Found> pool;  // the costliest kept rules, costliest first
    std::map<std::string, int> verdicts;
    int tried = 0;
    double checkWallMs = 0;
    Found worstTime;
    Found worstMemory;
    double worstRatio = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds * 0.8);
    while (Clock::now() < end) {
        const std::string pattern = !pool.empty() && generator.chance(0.6)
                                        ? generator.mutate(pool[static_cast<std::size_t>(generator.below(
                                              static_cast<int>(std::min<std::size_t>(pool.size(), 20))))].pattern)
                                        : generator.fresh();
        if (pattern.size() > (1u << 20))
            continue;
        ++tried;
        const auto started = Clock::now();
        const ZUrlRuleCheck::Result result = ZUrlRuleCheck::check({pattern}, kFlags, limits).front();
        checkWallMs += std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        ++verdicts[verdictName(result.verdict)];
        if (result.verdict != ZUrlRuleCheck::Verdict::Accepted)
            continue;
        const Found found{pattern, measure({pattern}, 10)};
        if (!found.cost.finished || found.cost.cpuMs > worstTime.cost.cpuMs || !worstTime.cost.finished)
            worstTime = found;
        if (found.cost.peakMb > worstMemory.cost.peakMb)
            worstMemory = found;
        const double checked = static_cast<double>(result.cpu.count()) / 1e6;
        if (checked > 1)
            worstRatio = std::max(worstRatio, found.cost.cpuMs / checked);
        pool.push_back(found);
        std::sort(pool.begin(), pool.end(),
                  [](const Found& a, const Found& b) { return a.cost.cpuMs > b.cost.cpuMs; });
        if (pool.size() > 200)
            pool.resize(200);
    }

    std::printf("Rules tried: %d in %.0f s (seed %llu, locale %s)\n", tried, seconds * 0.8,
                static_cast<unsigned long long>(seed), locale.c_str());
    for (const auto& [name, count] : verdicts)
        std::printf("  %-22s %d\n", name.c_str(), count);
    std::printf("Check's wall time per rule: %.2f ms on average\n", tried ? checkWallMs / tried : 0.0);
    // The costliest candidates, measured again seven times each.
    std::vector<Found> finalists(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(pool.size(), 10)));
    finalists.push_back(worstTime);
    finalists.push_back(worstMemory);
    Spread slowest;
    std::string slowestPattern;
    Spread largest;
    std::string largestPattern;
    for (const Found& found : finalists) {
        if (found.pattern.empty())
            continue;
        const Spread spread = repeated({found.pattern}, 7, 10);
        if (!spread.finished || spread.medianMs > slowest.medianMs) {
            slowest = spread;
            slowestPattern = found.pattern;
        }
        if (spread.medianMb > largest.medianMb) {
            largest = spread;
            largestPattern = found.pattern;
        }
    }
    std::printf("Highest single measure of a kept rule: %.1f ms CPU; of its peak memory: %.1f MB\n",
                worstTime.cost.cpuMs, worstMemory.cost.peakMb);
    std::printf("Largest ratio of a single measure to the check's own (over 1 ms): %.2f\n", worstRatio);
    std::printf("Costliest kept rule, median of 7 compiles in fresh processes: %.1f ms CPU (%.1f to %.1f), "
                "%.1f MB peak%s\n  %s\n",
                slowest.medianMs, slowest.minMs, slowest.maxMs, slowest.medianMb,
                slowest.finished ? "" : " (a compile did NOT FINISH in 10 s)", shown(slowestPattern).c_str());
    std::printf("Largest kept rule, median of 7: %.1f MB peak (at most %.1f), %.1f ms CPU\n  %s\n", largest.medianMb,
                largest.maxMb, largest.medianMs, shown(largestPattern).c_str());
    std::printf("Top kept rules by a single measure:\n");
    for (std::size_t i = 0; i < std::min<std::size_t>(pool.size(), 5); ++i)
        std::printf("  %6.1f ms %6.1f MB  %s\n", pool[i].cost.cpuMs, pool[i].cost.peakMb,
                    shown(pool[i].pattern).c_str());

    // Whole files: the costliest rules found, copied under distinct
    // prefixes, and the many-cheap-rules file.
    const auto filesEnd = Clock::now() + std::chrono::duration<double>(seconds * 0.2);
    Cost slowestFile;
    Cost largestFile;
    std::vector<std::string> slowestSet;
    std::vector<std::string> largestSet;
    int files = 0;
    std::vector<std::vector<std::string>> candidates;
    {
        std::vector<std::string> cheap;
        for (int i = 0; i < 600; ++i)
            cheap.push_back("/p" + std::to_string(i) + "/[0-9]{1,300}");
        candidates.push_back(cheap);
    }
    while (Clock::now() < filesEnd || files < 2) {
        std::vector<std::string> file;
        if (!candidates.empty()) {
            file = candidates.back();
            candidates.pop_back();
        } else {
            const int rules = 10 + generator.below(2000);
            for (int i = 0; i < rules && !pool.empty(); ++i)
                file.push_back("/f" + std::to_string(i) + "/" +
                               pool[static_cast<std::size_t>(generator.below(
                                        static_cast<int>(std::min<std::size_t>(pool.size(), 10))))].pattern);
        }
        if (file.empty())
            break;
        ++files;
        const auto results = ZUrlRuleCheck::check(file, kFlags, limits);
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < file.size(); ++i)
            if (results[i].verdict == ZUrlRuleCheck::Verdict::Accepted)
                kept.push_back(file[i]);
        const Cost cost = measure(kept, 30);
        if (!cost.finished || cost.cpuMs > slowestFile.cpuMs) {
            slowestFile = cost;
            slowestSet = kept;
        }
        if (cost.peakMb > largestFile.peakMb) {
            largestFile = cost;
            largestSet = kept;
        }
    }
    const Spread slowFile = repeated(slowestSet, 5, 30);
    const Spread bigFile = repeated(largestSet, 5, 30);
    std::printf("Files tried: %d; highest single measures of a kept set: %.1f ms CPU, %.1f MB peak\n", files,
                slowestFile.cpuMs, largestFile.peakMb);
    std::printf("  slowest kept set (%zu rules), median of 5: %.1f ms CPU (%.1f to %.1f), %.1f MB peak%s\n",
                slowestSet.size(), slowFile.medianMs, slowFile.minMs, slowFile.maxMs, slowFile.medianMb,
                slowFile.finished ? "" : " (NOT FINISHED)");
    std::printf("  largest kept set (%zu rules), median of 5: %.1f MB peak (at most %.1f), %.1f ms CPU\n",
                largestSet.size(), bigFile.medianMb, bigFile.maxMb, bigFile.medianMs);
    return 0;
}
