#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _zend_function_entry;
struct _zend_op_array;

// Times listed user functions without any engine hook on unlisted code: when
// a script is compiled, the body of each listed function is rewritten into
//
//     \Quillet\Probe\enter(ENTRY, BY_SCOPE);
//     try { BODY } finally { \Quillet\Probe\leave(); }
//
// and, in a listed generator, every `yield V` into
// `\Quillet\Probe\resume(yield \Quillet\Probe\suspend(V), ENTRY, BY_SCOPE)`, so
// each resumption is a call of its own. The probe's functions run between the
// script's statements and never while the script's own code runs, so no
// backtrace, exception trace, line number or result of the script shows them.
//
// ENTRY is the index of the listed entry among the user-function entries of
// the point files: the same in every process that loaded the same point files,
// so compiled code shared through opcache's memory or its file cache (whose
// system id carries a hash of the listed entries) means the same thing
// everywhere. BY_SCOPE (every trait method, once some entry names a class)
// asks for the entry of the class that runs the method, under its own name or
// an alias, first.
namespace ListedFunctionRewriter {

// A listed user function or method, as the compiler names it: lower-case
// UTF-8, "class::method" or "function" (namespaced names as "ns\name").
struct Target {
    std::string className;
    std::string methodName;
};

// Installs the compiler hook (chaining the one already installed) for these
// targets, whose positions are the entry indexes, and adds their hash to the
// engine's system id. Only during module start-up; with no target nothing is
// installed.
void install(const std::vector<Target>& targets);

// Module shutdown: puts the hook that was installed before back, when the
// engine still has this one (the engine and its hooks outlive a restart of
// the module in the same process), and forgets the targets.
void uninstall();

// The engine's op-array handler: gives the probe's opcodes in a function just
// compiled the lines of the script's code they stand for.
void compiled(_zend_op_array* opArray);

// A request starts: the compiles noted as under way are forgotten (one cut
// short by a fatal error never ended).
void requestStarts();

// The probe's functions the rewritten code calls, for the module's function
// table.
extern const _zend_function_entry functions[];

}  // namespace ListedFunctionRewriter
