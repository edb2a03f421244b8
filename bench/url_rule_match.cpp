// What matching the URL rules costs one request: the C library's regexec()
// (each rule in turn, as the rules were matched before) against the RE2
// rules (UrlRuleSet), on the same rules and paths in the same run, in the
// locale the workers run in; then a search for the rules and paths whose
// runs cost the most against what they are charged.
//
//   url_rule_match [--glibc-limit SECONDS]
//
// Each row gives the CPU time of the first match after loading (what a
// php-cgi request pays) and the mean of later ones (a long-lived worker),
// for both engines, what loading the rules cost each, and what the RE2 rules
// made of the last path. A regexec() run goes in a child process stopped
// after --glibc-limit seconds of CPU (default 5).
#include "extension/url/UrlRuleSet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <locale.h>
#include <random>
#include <regex.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double cpuNow()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Timing {
    double first = 0;
    double later = 0;  // mean of the later runs
    double load = 0;
    bool overLimit = false;
};

// Runs `once` once, then again until 0.2 s of CPU or 2,000 runs have passed
// (the CPU clock may tick in milliseconds: later runs are timed together).
Timing measure(const std::function<void()>& once)
{
    Timing t;
    double start = cpuNow();
    once();
    t.first = cpuNow() - start;
    int runs = 0;
    start = cpuNow();
    double now = start;
    while (runs < 2000 && now - start < 0.2) {
        once();
        ++runs;
        now = cpuNow();
    }
    t.later = (now - start) / runs;
    return t;
}

int glibcLimit = 5;

// regexec() over the rules in a child, stopped at the CPU limit.
Timing measureGlibc(const std::vector<std::string>& rules, const std::vector<std::string>& paths)
{
    int fds[2];
    if (pipe(fds) != 0)
        return Timing{};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        rlimit limit{static_cast<rlim_t>(glibcLimit), static_cast<rlim_t>(glibcLimit + 1)};
        setrlimit(RLIMIT_CPU, &limit);
        std::vector<regex_t> compiled;
        const double loadStart = cpuNow();
        for (const std::string& r : rules) {
            regex_t re;
            if (regcomp(&re, r.c_str(), REG_EXTENDED | REG_ICASE) == 0)
                compiled.push_back(re);
        }
        const double load = cpuNow() - loadStart;
        Timing t = measure([&] {
            regmatch_t slots[10];
            for (const std::string& path : paths)
                for (const regex_t& re : compiled)
                    if (regexec(&re, path.c_str(), 10, slots, REG_NOTBOL | REG_NOTEOL) == 0)
                        break;
        });
        t.load = load;
        if (write(fds[1], &t, sizeof t) != sizeof t)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Timing t;
    if (read(fds[0], &t, sizeof t) != sizeof t)
        t.overLimit = true;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return t;
}

const char* outcomeOf(bool matched, const UrlRuleSet::Match& match)
{
    return !matched ? "over budget" : match.rule < 0 ? "no rule" : "collapsed";
}

Timing measureRe2(const std::vector<std::string>& rules, const std::vector<std::string>& paths, double& loadCpu,
                  std::size_t& kept, std::string& outcome)
{
    UrlRuleSet set;
    const double start = cpuNow();
    for (const std::string& r : rules)
        set.add(r);
    std::string error;
    set.compile(error);
    loadCpu = cpuNow() - start;
    kept = set.size();
    bool matched = true;
    UrlRuleSet::Match match;
    Timing t = measure([&] {
        for (const std::string& path : paths)
            matched = set.match(path, match, error);
    });
    outcome = outcomeOf(matched, match);
    return t;
}

// The costliest runs found: fresh rules for each run (as php-cgi loads
// them), the CPU of one match against what it was charged.
struct Search {
    double worstRatio = 0;
    double worstMs = 0;
    std::string costliest;
    int runs = 0;
    void run(const std::string& name, const std::vector<std::string>& rules, const std::string& path, bool groups)
    {
        double best = 1e9;
        UrlRuleSet::Match match;
        bool matched = false;
        for (int repeat = 0; repeat < 2; ++repeat) {
            UrlRuleSet set;
            for (const std::string& r : rules)
                set.add(r, groups);
            std::string error;
            set.compile(error);
            const double start = cpuNow();
            matched = set.match(path, match, error);
            best = std::min(best, cpuNow() - start);
        }
        ++runs;
        if (best * 1e3 > worstMs) {
            worstMs = best * 1e3;
            costliest = name + ", " + std::to_string(path.size()) + " bytes" + (groups ? ", groups" : "") + ", charged "
                        + std::to_string(static_cast<double>(match.charged) / 1e6) + " ms";
        }
        if (match.charged == 0)
            return;
        const double ratio = best * 1e9 / static_cast<double>(match.charged);
        if (ratio > worstRatio) {
            worstRatio = ratio;
            std::printf("  new worst: %s, %zu bytes%s: %.3f ms, charged %.3f ms (%.2f), %s\n", name.c_str(), path.size(),
                        groups ? ", groups" : "", best * 1e3, static_cast<double>(match.charged) / 1e6, ratio,
                        outcomeOf(matched, match));
            std::fflush(stdout);
        }
    }
};

void search()
{
    Search s;
    std::mt19937 random(11);
    // A path of `n` bytes drawn from `alphabet`, ending with the "x" most
    // rules below end with.
    auto path = [&](std::size_t n, const std::vector<std::string>& alphabet) {
        std::string p = "/";
        while (p.size() < n - 1)
            p += alphabet[random() % alphabet.size()];
        p.resize(n - 1);
        return p + "x";
    };
    const std::vector<std::string> ab = {"a", "b"};
    const std::vector<std::string> multibyte = {"\xC3\xA9", "a", "\xE6\x97\xA5", "/", "b"};
    const std::vector<std::string> mixed = {"a", "b", "c", "d", "e", "f", "0", "1", "2", "-", "_", "A", "Z", "/"};
    for (std::size_t n : {16, 64, 256, 1024, 4096, 8192}) {
        for (bool groups : {false, true}) {
            for (int k : {5, 20, 80, 200, 1000})
                s.run("a[ab]{" + std::to_string(k) + "}x", {"a([ab]{" + std::to_string(k) + "})x"}, path(n, ab), groups);
            s.run("(([ab]{1,30}){30})x", {"(([ab]{1,30}){30})x"}, path(n, ab), groups);
            s.run("a(a|b|ab|ba){30}x", {"a(a|b|ab|ba){30}x"}, path(n, ab), groups);
            s.run("(.*a){20}x", {"(.*a){20}x"}, path(n, ab), groups);
            s.run("(.{1000})x", {"(.{1000})x"}, path(n, multibyte), groups);
            s.run("a(([^/]*[^/]?){100})x", {"a(([^/]*[^/]?){100})x"}, path(n, multibyte), groups);
            s.run("([^/]+/){50}x", {"([^/]+/){50}x"}, path(n, mixed), groups);
            s.run("many byte classes", {"a([a-f0-3_-]{40})x|0bz|1cq|2dw|3er|4fy|5gu|6hi|7jo|8lp"}, path(n, mixed), groups);
            for (const char* unit : {"(a*b?)", "(a*|b*)", "(a|)", "((a*)*)", "(a*a*)", "([ab]*)"})
                for (int k : {10, 50, 200}) {
                    std::string pattern;
                    for (int i = 0; i < k; ++i)
                        pattern += unit;
                    s.run(std::string(unit) + " x" + std::to_string(k), {pattern + "x"}, path(n, ab), groups);
                }
        }
        // Many candidates, and rules compiled at the match (past the kept ones).
        std::vector<std::string> guarded;
        std::string guards;
        for (int i = 1; i <= 300; ++i)
            guarded.push_back("/s" + std::to_string(i) + "/(.*)y");
        while (guards.size() < n)
            guards += "/s" + std::to_string(random() % 300 + 1) + "/";
        guards.resize(n);
        s.run("300 rules /sN/(.*)y", guarded, guards, true);
        std::vector<std::string> large;
        std::string bigGuards;
        for (int i = 0; i < 60; ++i) {
            std::string x = "/big" + std::to_string(i) + "/(";
            for (int j = 0; j < 300; ++j)
                x += (j ? "|w" : "w") + std::to_string(j) + "[a-z]";
            large.push_back(x + ")");
        }
        for (int i = 40; i < 60 && bigGuards.size() < n; ++i)
            bigGuards += "/big" + std::to_string(i) + "/";
        s.run("60 rules of 300 alternatives", large, bigGuards, true);
        // As many short texts as the filter takes, most of them in the path.
        std::vector<std::string> words;
        for (int i = 0; i < 60; ++i) {
            std::string x;
            for (int j = 0; j < 2000; ++j) {
                x += j ? "|" : "";
                for (int k = 0; k < 2 + (j % 3); ++k)
                    x.push_back(static_cast<char>('a' + random() % 26));
            }
            words.push_back(x);
        }
        std::string letters = "/";
        while (letters.size() < n)
            letters.push_back(static_cast<char>('a' + random() % 26));
        s.run("60 rules of 2,000 short texts", words, letters, true);
        std::vector<std::string> nested;
        for (int i = 1; i <= 64; ++i)
            nested.push_back(std::string(static_cast<std::size_t>(i), 'a') + "b" + std::to_string(i));
        s.run("texts that end in one another", nested, "/" + std::string(n - 1, 'a'), true);
    }
    // A long-lived worker: the kept rules' automata grown by earlier paths,
    // then paths that make it forget them, one per run.
    {
        UrlRuleSet set;
        std::vector<std::string> guards;
        for (int i = 0; i < 64; ++i) {
            guards.push_back("/g" + std::to_string(i) + "/");
            set.add(guards.back() + "a([ab]{20})x");
        }
        std::string error;
        set.compile(error);
        UrlRuleSet::Match match;
        for (int request = 0; request < 3000; ++request)
            set.match(guards[static_cast<std::size_t>(request) % 32] + "a" + path(4000, ab), match, error);
        for (int request = 0; request < 64; ++request) {
            const std::string p = guards[static_cast<std::size_t>(request)] + "a" + path(2000, ab);
            const double start = cpuNow();
            const bool matched = set.match(p, match, error);
            const double took = cpuNow() - start;
            s.worstMs = std::max(s.worstMs, took * 1e3);
            const double ratio = took * 1e9 / static_cast<double>(std::max<int64_t>(1, match.charged));
            if (match.charged > 0 && ratio > s.worstRatio) {
                s.worstRatio = ratio;
                std::printf("  new worst: forgetting kept rules: %.3f ms, charged %.3f ms (%.2f), %s\n", took * 1e3,
                            static_cast<double>(match.charged) / 1e6, ratio, outcomeOf(matched, match));
            }
            ++s.runs;
        }
    }
    std::printf("\n%d runs; the costliest took %.2f ms (%s); the most a run took of its charge: %.2f\n", s.runs,
                s.worstMs, s.costliest.c_str(), s.worstRatio);
}

std::string ms(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds * 1e3);
    return text;
}

void row(const std::string& name, const std::vector<std::string>& rules, const std::vector<std::string>& paths)
{
    double load = 0;
    std::size_t kept = 0;
    std::string outcome;
    const Timing re2 = measureRe2(rules, paths, load, kept, outcome);
    const Timing glibc = measureGlibc(rules, paths);
    std::printf("| %s | %zu/%zu | %zu | %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), kept, rules.size(),
                paths.size(), glibc.overLimit ? ("> " + std::to_string(glibcLimit) + " s").c_str() : ms(glibc.first).c_str(),
                glibc.overLimit ? "-" : ms(glibc.later).c_str(), ms(re2.first).c_str(), ms(re2.later).c_str(),
                glibc.overLimit ? "-" : ms(glibc.load).c_str(), ms(load).c_str(), outcome.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--glibc-limit") == 0)
            glibcLimit = std::max(1, std::atoi(argv[i + 1]));
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) {
        std::fprintf(stderr, "the C.UTF-8 locale is missing\n");
        return 1;
    }

    const std::vector<std::string> readme = {"/user/[0-9]+", "/(shop|store)/item/([0-9]+)", "(^|/)shop"};
    const std::vector<std::string> site = {
        "/wp-admin/.*",         "/[0-9]{4}/[0-9]{2}/[^/]+",  "/category/([^/]+)",     "/tag/([^/]+)",
        "/author/([^/]+)",      "/page/[0-9]+",              "/product/([a-z0-9-]+)", "/cart(/.*)?",
        "/checkout/(step[1-3])", "/api/v[12]/users/[0-9]+",   "/api/v[12]/orders/[0-9a-f]{8,32}",
        "/search\\?q=.*",       "/static/.*\\.(css|js|png)", "/user/[0-9]+",          "/(shop|store)/item/([0-9]+)",
        "[^/]+\\.php",
    };
    const std::vector<std::string> ordinaryPaths = {
        "/",          "/user/42/profile", "/2024/05/hello-world", "/shop/item/1234", "/api/v2/orders/deadbeef01",
        "/about-us",  "/product/blue-shirt-xl", "/static/css/site.css", "/index.php", "/category/news/page/2",
    };
    std::vector<std::string> twentyThousand;
    for (int i = 1; i <= 20000; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "/nomatch%05d/[0-9]+", i);
        twentyThousand.push_back(text);
    }
    twentyThousand.push_back("/item/[0-9]+");

    std::printf("| rules | kept/rules | paths | regexec first ms | regexec later ms | RE2 first ms | RE2 later ms "
                "| regexec load ms | RE2 load ms | RE2 made of the last path |\n|---|---|---|---|---|---|---|---|---|---|\n");
    row("README's examples, ordinary paths", readme, ordinaryPaths);
    row("a site's 16 rules, ordinary paths", site, ordinaryPaths);
    row("20,000 `/nomatchNNNNN/[0-9]+` then `/item/[0-9]+`, `/item/42`", twentyThousand, {"/item/42"});

    const std::string aaa = "/" + std::string(8000, 'a');
    row("`[^/]+\\.php`, `/` then `a`x8000", {"[^/]+\\.php"}, {aaa});
    row("`/(.*)/edit`, `/`x8000", {"/(.*)/edit"}, {std::string(8000, '/')});
    row("`(.*)(.*)(.*)x`, 8,001 bytes", {"(.*)(.*)(.*)x"}, {aaa});
    row("`(.*){300}x`, 8,001 bytes", {"(.*){300}x"}, {aaa});

    // Rules whose automaton needs a new state at nearly every byte: the
    // states remember which of the last k bytes were an "a".
    std::mt19937 random(5);
    std::string ab = "/";
    for (int i = 0; i < 8191; ++i)
        ab.push_back(random() % 2 ? 'a' : 'b');
    ab.back() = 'x';
    for (int k : {20, 100, 300, 1000})
        row("`a[ab]{" + std::to_string(k) + "}x`, 8 KiB of random a/b", {"a[ab]{" + std::to_string(k) + "}x"}, {ab});
    const std::string ab1k = ab.substr(ab.size() - 1024);
    row("`a[ab]{20}x`, 1 KiB of random a/b", {"a[ab]{20}x"}, {ab1k});
    // The whole file's instructions spent on such rules.
    std::vector<std::string> blowUp;
    for (int k = 1; k <= 400; ++k)
        blowUp.push_back("a(a|b|c){" + std::to_string(k % 60 + 1) + "}x" + std::to_string(k));
    row("400 rules `a(a\\|b\\|c){k}xN`, 8 KiB of random a/b", blowUp, {ab});
    std::vector<std::string> wide;
    for (int k = 0; k < 2000; ++k)
        wide.push_back("[a-" + std::string(1, static_cast<char>('b' + k % 20)) + "]{1,30}q" + std::to_string(k));
    row("2,000 rules `[a-X]{1,30}qN`, 8 KiB of random a/b", wide, {ab});
    std::vector<std::string> guarded;
    std::string guards;
    for (int i = 1; i <= 300; ++i)
        guarded.push_back("/s" + std::to_string(i) + "/(.*)y");
    while (guards.size() < 8192)
        guards += "/s" + std::to_string(random() % 300 + 1) + "/";
    row("300 rules `/sN/(.*)y`, 8 KiB of their texts", guarded, {guards});
    row("the same, 1 KiB", guarded, {guards.substr(0, 1024)});
    std::printf("\n(regexec: each rule in turn, compiled beforehand; RE2: the rules whose text the path holds, each in "
                "turn, while the budget lasts.)\n\nThe costliest runs found:\n");
    std::fflush(stdout);
    search();
    return 0;
}
