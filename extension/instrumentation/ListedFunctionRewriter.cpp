#include "extension/instrumentation/ListedFunctionRewriter.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// The engine declares its syntax-tree functions without C linkage for C++.
extern "C" {
#include "zend_ast.h"
}
#include "php.h"
#include "zend_compile.h"
#include "zend_exceptions.h"
#include "zend_system_id.h"

#include "extension/engine/EngineBoundary.h"
#include "extension/engine/EngineSystemId.h"
#include "extension/instrumentation/Manager.h"

// The digest of the rewriter's sources, made by the build.
#ifndef QUILLET_REWRITER_DIGEST
#error "QUILLET_REWRITER_DIGEST is not defined: build with the project's CMake files"
#endif

namespace ListedFunctionRewriter {

namespace {

const char kEnter[] = "Quillet\\Probe\\enter";
const char kLeave[] = "Quillet\\Probe\\leave";
const char kSuspend[] = "Quillet\\Probe\\suspend";
const char kResume[] = "Quillet\\Probe\\resume";

zend_ast_process_t previousProcess = nullptr;
bool hookInstalled = false;
// "class::method" or "function" (lower case) -> entry index.
std::unordered_map<std::string, int64_t> entryByKey;
// Some entry names a class: every trait method looks up the entry of the class
// that runs it (under its own name or an alias the class gave it), so trait
// methods, and only they, pay a check when some method is listed.
bool methodsListed = false;
std::unordered_set<std::string> warnedUntimed;
// The probe's functions are in the function table: -1 not yet looked at.
int functionsAvailable = -1;
// The compiles under way whose op arrays come to the op-array handler,
// innermost last: a compile can start while another is (an error handler run
// by a warning of the compiler includes a file or evals code), under the same
// name as the other (a template engine evals every piece at one line). A
// compile's op arrays are all complete while it is the innermost, its own
// code (the op array it made before the hook ran) last, which ends it. A
// compile cut short by a fatal error (a longjmp) never ends: the compiles
// started after it stand above it, and a compile that ends drops whatever
// stands above it; a new request forgets them all, and a bound keeps the
// newest when too many were cut short in one request.
struct Compile {
    const zend_op_array* main = nullptr;
    bool rewrote = false;
    std::string file;  // the compiled file name; only when it rewrote
};
const std::size_t kMaxCompiles = 64;
std::vector<Compile> compiles;  // capacity reserved at install: a push never allocates

std::string lower(const char* text, std::size_t length)
{
    std::string out(text, length);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string lower(const zend_string* text)
{
    return text ? lower(ZSTR_VAL(text), ZSTR_LEN(text)) : std::string();
}

struct FunctionImports;

// What the walk knows about where it is; copied for every node it pushes.
struct Context {
    const std::string* ns = nullptr;         // lower case, "" outside any namespace
    const std::string* className = nullptr;  // lower case, qualified; null outside a class
    bool traitBody = false;
    // The enclosing listed generator whose yields are rewritten; entry < -1: none.
    int64_t generatorEntry = -2;
    bool generatorByScope = false;
    // The function imports in force that matter to assert() (null: none).
    const FunctionImports* imports = nullptr;
};

// Of the `use function` imports in force, those that decide whether a call is
// assert(): every alias of the engine's assert, and an alias named assert of
// another function. Immutable once made: contexts share it.
struct FunctionImports {
    struct Alias {
        std::string name;  // lower case
        bool engineAssert;
    };
    std::vector<Alias> aliases;

    // The alias a call's unqualified name is, caselessly, as the compiler
    // looks it up; null when not imported (or imports nothing that matters).
    const Alias* find(const char* name, std::size_t length) const
    {
        for (const Alias& alias : aliases)
            if (!zend_binary_strcasecmp(alias.name.data(), alias.name.size(), name, length))
                return &alias;
        return nullptr;
    }
};

void setLine(zend_ast* ast, uint32_t line)
{
    if (ast->kind == ZEND_AST_ZVAL)
        Z_LINENO(reinterpret_cast<zend_ast_zval*>(ast)->val) = line;
    else if (zend_ast_is_list(ast))
        zend_ast_get_list(ast)->lineno = line;
    else
        ast->lineno = line;
}

zend_ast* longAst(int64_t value, uint32_t line)
{
    zend_ast* ast = zend_ast_create_zval_from_long(static_cast<zend_long>(value));
    setLine(ast, line);
    return ast;
}

// A call of one of the probe's functions with the given arguments (an
// argument list node), fully qualified so that it is bound when compiled.
zend_ast* probeCall(const char* name, zend_ast* args, uint32_t line)
{
    zend_ast* nameAst = zend_ast_create_zval_from_str(zend_string_init(name, std::strlen(name), 0));
    nameAst->attr = ZEND_NAME_FQ;
    setLine(nameAst, line);
    setLine(args, line);
    zend_ast* call = zend_ast_create(ZEND_AST_CALL, nameAst, args);
    setLine(call, line);
    return call;
}

zend_ast* argList(uint32_t line)
{
    zend_ast* list = zend_ast_create_list(0, ZEND_AST_ARG_LIST);
    setLine(list, line);
    return list;
}

// `yield V` -> `resume(yield suspend(V), entry, byScope)`; likewise for
// `yield from`.
void rewriteYield(zend_ast** slot, const Context& context)
{
    zend_ast* yield = *slot;
    const uint32_t line = zend_ast_get_lineno(yield);
    zend_ast* inner = argList(line);
    if (yield->child[0])
        inner = zend_ast_list_add(inner, yield->child[0]);
    yield->child[0] = probeCall(kSuspend, inner, line);
    zend_ast* outer = argList(line);
    outer = zend_ast_list_add(outer, yield);
    outer = zend_ast_list_add(outer, longAst(context.generatorEntry, line));
    outer = zend_ast_list_add(outer, longAst(context.generatorByScope ? 1 : 0, line));
    *slot = probeCall(kResume, outer, line);
}

// `declare(ticks=VALUE);`, or `declare(ticks=VALUE) { STMT }`. VALUE is the
// literal a script's own declare gave (null: 0, as before any declare).
zend_ast* declareTicks(const zval* value, zend_ast* stmt, uint32_t line)
{
    zend_ast* name = zend_ast_create_zval_from_str(zend_string_init("ticks", 5, 0));
    setLine(name, line);
    zval copy;
    if (value)
        ZVAL_COPY(&copy, value);
    else
        ZVAL_LONG(&copy, 0);
    zend_ast* literal = zend_ast_create_zval(&copy);
    setLine(literal, line);
    zend_ast* element = zend_ast_create(ZEND_AST_CONST_ELEM, name, literal, nullptr);
    setLine(element, line);
    zend_ast* declares = zend_ast_create_list(1, ZEND_AST_CONST_DECL, element);
    setLine(declares, line);
    zend_ast* declare = zend_ast_create(ZEND_AST_DECLARE, declares, stmt);
    setLine(declare, line);
    return declare;
}

// A label no script can name (a label in PHP source is an identifier).
const char kEndLabel[] = "Quillet\\Probe\\end";

zend_ast* labelStatement(zend_ast_kind kind, uint32_t line)
{
    zend_ast* name = zend_ast_create_zval_from_str(zend_string_init(kEndLabel, std::strlen(kEndLabel), 0));
    setLine(name, line);
    zend_ast* statement = zend_ast_create(kind, name);
    setLine(statement, line);
    return statement;
}

// A literal of declare(ticks) that makes the compiler emit ticks.
bool ticking(const zval* value)
{
    return value && !(Z_TYPE_P(value) == IS_LONG && Z_LVAL_P(value) == 0);
}

// BODY -> enter(entry, byScope); try { BODY } finally { leave(); }
//
// Under declare(ticks) the compiler adds a tick after every statement but a
// statement list or a label, so the statements added here would tick where
// the script's own code does not (and a listed tick function would run after
// the call it belongs to ended). There the body becomes
//
//     declare(ticks=0);
//     enter(entry, byScope);
//     try { declare(ticks=BEFORE) { BODY goto END; } } finally { leave(); }
//     declare(ticks=AFTER);
//     END:
//
// BODY ticks as it did (BEFORE is what the file declared where the function
// begins); the probe's statements are compiled under ticks=0; AFTER (what
// was in force where BODY ends, a declare inside it included) holds again for
// the code that follows, and the tick its declare emits is never reached:
// the try is left by the goto, through the finally block, a return or an
// exception.
void wrapBody(zend_ast_decl* decl, int64_t entry, bool byScope, const zval* ticksBefore, const zval* ticksAfter)
{
    const uint32_t start = decl->start_lineno;
    const uint32_t end = decl->end_lineno;
    const bool ticks = ticking(ticksBefore) || ticking(ticksAfter);
    zend_ast* body = decl->child[2];
    if (ticks) {
        zend_ast* ownTicks = zend_ast_create_list(2, ZEND_AST_STMT_LIST, body, labelStatement(ZEND_AST_GOTO, end));
        setLine(ownTicks, start);
        body = declareTicks(ticksBefore, ownTicks, start);
    }
    zend_ast* enterArgs = argList(start);
    enterArgs = zend_ast_list_add(enterArgs, longAst(entry, start));
    enterArgs = zend_ast_list_add(enterArgs, longAst(byScope ? 1 : 0, start));
    zend_ast* enter = probeCall(kEnter, enterArgs, start);

    zend_ast* finallyList = zend_ast_create_list(1, ZEND_AST_STMT_LIST, probeCall(kLeave, argList(end), end));
    setLine(finallyList, end);
    zend_ast* catches = zend_ast_create_list(0, ZEND_AST_CATCH_LIST);
    setLine(catches, end);
    zend_ast* tryAst = zend_ast_create(ZEND_AST_TRY, body, catches, finallyList);
    setLine(tryAst, start);
    zend_ast* wrapped = nullptr;
    if (ticks) {
        wrapped = zend_ast_create_list(2, ZEND_AST_STMT_LIST, declareTicks(nullptr, nullptr, start), enter);
        wrapped = zend_ast_list_add(wrapped, tryAst);
        wrapped = zend_ast_list_add(wrapped, declareTicks(ticksAfter, nullptr, end));
        wrapped = zend_ast_list_add(wrapped, labelStatement(ZEND_AST_LABEL, end));
    } else {
        wrapped = zend_ast_create_list(2, ZEND_AST_STMT_LIST, enter, tryAst);
    }
    setLine(wrapped, start);
    decl->child[2] = wrapped;
}

// The compiler describes a failed one-argument assert() with the text of its
// argument, exported from the syntax tree when the call is compiled, after
// this walk has rewritten listed code inside it. The description the compiler
// would make of the script's own code is added here first, exactly as it
// would add it (zend_compile_assert), so it finds two arguments and adds none.
//
// A call is assert() to the compiler (zend_compile_call) when its callee is a
// constant string (a name, or a string literal: fully qualified) that resolves
// (zend_resolve_function_name) to "assert", caselessly, while the engine has
// that function; or, left unqualified in a namespace and so resolved when the
// call runs, when its own text is "assert". First-class-callable syntax,
// `assert(...)`, is no call of it.
bool isAssert(const char* name, std::size_t length)
{
    return !zend_binary_strcasecmp(name, length, "assert", sizeof("assert") - 1);
}

bool engineHasAssert()
{
    return zend_hash_str_exists(CG(function_table), "assert", sizeof("assert") - 1);
}

bool callsEngineAssert(zend_ast* call, const Context& context)
{
    zend_ast* name = call->child[0];
    zend_ast* args = call->child[1];
    if (!name || name->kind != ZEND_AST_ZVAL || Z_TYPE_P(zend_ast_get_zval(name)) != IS_STRING || !args
        || args->kind != ZEND_AST_ARG_LIST || zend_ast_get_list(args)->children != 1)
        return false;
    const zend_string* text = zend_ast_get_str(name);
    const char* value = ZSTR_VAL(text);
    std::size_t length = ZSTR_LEN(text);
    const bool inNamespace = context.ns && !context.ns->empty();
    if (length > 0 && value[0] == '\\') {
        // A string's leading backslash (a name has none left).
        ++value;
        --length;
    } else if (name->attr == ZEND_NAME_RELATIVE) {
        if (inNamespace)
            return false;  // namespace\assert() in a namespace is a function of it
    } else if (name->attr != ZEND_NAME_FQ) {
        if (context.imports) {
            if (const FunctionImports::Alias* alias = context.imports->find(value, length))
                return alias->engineAssert && engineHasAssert();
        }
        // A qualified name resolves to a name with a namespace.
        if (std::memchr(value, '\\', length))
            return false;
        if (inNamespace)
            return isAssert(value, length);
    }
    return isAssert(value, length) && engineHasAssert();
}

void describeAssert(zend_ast* call)
{
    zend_ast* args = call->child[1];
    zend_ast* condition = zend_ast_get_list(args)->child[0];
    const uint32_t line = zend_ast_get_lineno(call);
    zend_ast* description = zend_ast_create_zval_from_str(zend_ast_export("assert(", condition, ")"));
    setLine(description, line);
    if (condition->kind == ZEND_AST_NAMED_ARG) {
        // Named, as a positional argument may not follow a named one.
        zend_ast* name = zend_ast_create_zval_from_str(zend_string_init("description", sizeof("description") - 1, 0));
        setLine(name, line);
        description = zend_ast_create(ZEND_AST_NAMED_ARG, name, description);
        setLine(description, line);
    }
    call->child[1] = zend_ast_list_add(args, description);
}

// The aliases a `use` statement adds that matter to assert() (see
// FunctionImports), in `added`.
void functionImportsOf(zend_ast* statement, std::vector<FunctionImports::Alias>& added)
{
    const zend_ast* prefix = nullptr;
    const zend_ast_list* uses = nullptr;
    const uint32_t type = statement->attr;
    if (statement->kind == ZEND_AST_USE) {
        uses = zend_ast_get_list(statement);
    } else if (statement->kind == ZEND_AST_GROUP_USE && statement->child[1]) {
        prefix = statement->child[0];
        uses = zend_ast_get_list(statement->child[1]);
    } else {
        return;
    }
    for (uint32_t i = 0; i < uses->children; ++i) {
        zend_ast* use = uses->child[i];
        // A mixed group gives each element its own kind.
        const uint32_t useType = type ? type : use->attr;
        if (useType != ZEND_SYMBOL_FUNCTION || !use->child[0] || use->child[0]->kind != ZEND_AST_ZVAL)
            continue;
        zend_string* target = zend_ast_get_str(use->child[0]);
        zend_string* alias = use->child[1] && use->child[1]->kind == ZEND_AST_ZVAL ? zend_ast_get_str(use->child[1]) : nullptr;
        // Without an alias, the last part of the name is the alias.
        const char* aliasText = alias ? ZSTR_VAL(alias) : ZSTR_VAL(target);
        std::size_t aliasLength = alias ? ZSTR_LEN(alias) : ZSTR_LEN(target);
        if (!alias) {
            const char* separator = static_cast<const char*>(zend_memrchr(aliasText, '\\', aliasLength));
            if (separator) {
                aliasLength -= static_cast<std::size_t>(separator + 1 - aliasText);
                aliasText = separator + 1;
            }
        }
        // A group's names all have its prefix before them: none is assert.
        const bool engineAssert = !prefix && isAssert(ZSTR_VAL(target), ZSTR_LEN(target));
        if (engineAssert || isAssert(aliasText, aliasLength))
            added.push_back(FunctionImports::Alias{lower(aliasText, aliasLength), engineAssert});
    }
}

// The engine abandoned the script (the memory limit, hit while syntax-tree
// nodes were allocated): the walk unwinds as a C++ exception, releasing its
// own objects, and process() resumes the engine's long jump once they are gone.
struct EngineBailedOut {};

// Runs work that allocates from the engine (and may bail out) in a frame that
// holds no C++ object with a destructor; the walk's strings stay outside it.
template <class Work>
void engineWork(Work&& work)
{
    volatile bool bailedOut = false;
    zend_try {
        work();
    } zend_catch {
        bailedOut = true;
    } zend_end_try();
    if (bailedOut)
        throw EngineBailedOut();
}

std::string qualified(const Context& context, const std::string& name)
{
    if (!context.ns || context.ns->empty())
        return name;
    return *context.ns + "\\" + name;
}

// Walks a syntax tree with a stack of its own instead of the C stack: the
// engine compiles trees tens of thousands of levels deep (a long chain of
// concatenations), deeper than a recursive walk's frames have room for.
// Children are visited in order, and a node's rewriting comes after its
// children's, as in a recursive walk.
class Walker {
public:
    // Some listed body was rewritten.
    bool rewrote = false;

    void run(zend_ast** root, const Context& context)
    {
        pending.push_back(Item{Step::Visit, root, nullptr, context, 0, false, nullptr});
        while (!pending.empty()) {
            const Item item = pending.back();
            pending.pop_back();
            switch (item.step) {
            case Step::Visit:
                visit(item.slot, item.context);
                break;
            case Step::WrapBody:
                engineWork([&] { wrapBody(item.decl, item.entry, item.byScope, item.ticks, ticks); });
                rewrote = true;
                break;
            case Step::RewriteYield:
                engineWork([&] { rewriteYield(item.slot, item.context); });
                break;
            case Step::RestoreTicks:
                ticks = item.ticks;
                break;
            }
        }
    }

private:
    enum class Step { Visit, WrapBody, RewriteYield, RestoreTicks };
    struct Item {
        Step step;
        zend_ast** slot;
        zend_ast_decl* decl;  // WrapBody
        Context context;
        int64_t entry;  // WrapBody
        bool byScope;   // WrapBody
        // WrapBody: declare(ticks) where the function begins; RestoreTicks:
        // where a declare block begins.
        const zval* ticks;
    };

    void push(zend_ast** slot, const Context& context)
    {
        if (*slot)
            pending.push_back(Item{Step::Visit, slot, nullptr, context, 0, false, nullptr});
    }

    // Pushed last first, so that they are visited first to last.
    void pushChildren(zend_ast** children, uint32_t count, const Context& context)
    {
        for (uint32_t i = count; i-- > 0;)
            push(&children[i], context);
    }

    // A name the contexts point to, kept until the walk ends.
    const std::string* keep(std::string text)
    {
        names.push_back(std::move(text));
        return &names.back();
    }

    // The imports in force after a `use` statement: `current`, or a new set
    // when it adds an alias that matters. (The compiler refuses an alias
    // imported twice.)
    const FunctionImports* importsAfter(zend_ast* statement, const FunctionImports* current)
    {
        std::vector<FunctionImports::Alias> added;
        functionImportsOf(statement, added);
        if (added.empty())
            return current;
        FunctionImports next;
        if (current)
            next = *current;
        next.aliases.insert(next.aliases.end(), added.begin(), added.end());
        importSets.push_back(std::move(next));
        return &importSets.back();
    }

    void visit(zend_ast** slot, const Context& context)
    {
        zend_ast* ast = *slot;
        switch (ast->kind) {
        case ZEND_AST_ZVAL:
        case ZEND_AST_CONSTANT:
        case ZEND_AST_ZNODE:
            return;
        case ZEND_AST_CLASS:
            visitClass(reinterpret_cast<zend_ast_decl*>(ast), context);
            return;
        case ZEND_AST_FUNC_DECL:
        case ZEND_AST_CLOSURE:
        case ZEND_AST_METHOD:
        case ZEND_AST_ARROW_FUNC:
            visitFunction(reinterpret_cast<zend_ast_decl*>(ast), context);
            return;
        case ZEND_AST_YIELD:
        case ZEND_AST_YIELD_FROM:
            if (context.generatorEntry >= -1 && !refusedYields.count(ast))
                pending.push_back(Item{Step::RewriteYield, slot, nullptr, context, 0, false, nullptr});
            break;
        case ZEND_AST_DECLARE:
            visitDeclare(ast, context);
            return;
        case ZEND_AST_CALL:
            // Before anything inside the call is rewritten.
            if (EG(assertions) >= 0 && callsEngineAssert(ast, context))
                engineWork([&] { describeAssert(ast); });
            break;
        default:
            break;
        }
        if (context.generatorEntry >= -1)
            noteWrittenYields(ast);
        if (zend_ast_is_list(ast))
            visitList(zend_ast_get_list(ast), context);
        else
            pushChildren(ast->child, zend_ast_get_num_children(ast), context);
    }

    void visitList(zend_ast_list* list, const Context& context)
    {
        Context current = context;
        const std::size_t first = pending.size();
        for (uint32_t i = 0; i < list->children; ++i) {
            zend_ast* child = list->child[i];
            if (child && child->kind == ZEND_AST_NAMESPACE) {
                const std::string* ns = keep(child->child[0] ? lower(zend_ast_get_str(child->child[0])) : std::string());
                // A namespace starts with no imports.
                if (child->child[1]) {
                    Context inside = current;
                    inside.ns = ns;
                    inside.imports = nullptr;
                    push(&child->child[1], inside);  // namespace X { ... }
                } else {
                    current.ns = ns;  // namespace X; applies to what follows
                    current.imports = nullptr;
                }
                continue;
            }
            if (child && (child->kind == ZEND_AST_USE || child->kind == ZEND_AST_GROUP_USE))
                current.imports = importsAfter(child, current.imports);
            push(&list->child[i], current);
        }
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
    }

    // A yield the compiler refuses where a call is accepted: written to
    // (`(yield)->x = 1`, `(yield)[0]++`, `unset((yield)->x)`...), a target of
    // a list assignment (`[yield] = $a`), or the value of one that takes
    // references (`[&$a] = yield`). It is left as it is, so the compiler
    // refuses the script with its own error; a call in its place would
    // compile. The compiler decides by the same shapes: what a write reaches
    // through `[]` and `->` (zend_compile_var_inner in a write mode,
    // zend_can_write_to_variable, zend_is_variable_or_call).
    void noteWrittenYields(zend_ast* ast)
    {
        switch (ast->kind) {
        case ZEND_AST_ASSIGN:
            noteAssigned(ast->child[0]);
            if (ast->child[0] && ast->child[0]->kind == ZEND_AST_ARRAY && listTakesReferences(ast->child[0]))
                noteWritten(ast->child[1]);
            break;
        case ZEND_AST_ASSIGN_REF:
            noteWritten(ast->child[0]);
            noteWritten(ast->child[1]);
            break;
        case ZEND_AST_ASSIGN_OP:
        case ZEND_AST_ASSIGN_COALESCE:
        case ZEND_AST_PRE_INC:
        case ZEND_AST_PRE_DEC:
        case ZEND_AST_POST_INC:
        case ZEND_AST_POST_DEC:
        case ZEND_AST_UNSET:
            noteWritten(ast->child[0]);
            break;
        case ZEND_AST_FOREACH:
            if (ast->child[1] && ast->child[1]->kind == ZEND_AST_REF)
                noteWritten(ast->child[1]->child[0]);
            else
                noteAssigned(ast->child[1]);
            noteAssigned(ast->child[2]);
            break;
        case ZEND_AST_ARRAY_ELEM:
            if (ast->attr)  // taken by reference
                noteWritten(ast->child[0]);
            break;
        default:
            break;
        }
    }

    // A target of an assignment: a variable, or a list of targets (lists are
    // walked without recursion, as the rest of the tree).
    void noteAssigned(zend_ast* target)
    {
        std::vector<zend_ast*> targets{target};
        while (!targets.empty()) {
            zend_ast* next = targets.back();
            targets.pop_back();
            if (!next)
                continue;
            if (next->kind != ZEND_AST_ARRAY) {
                noteWritten(next);
                continue;
            }
            const zend_ast_list* elements = zend_ast_get_list(next);
            for (uint32_t i = 0; i < elements->children; ++i)
                if (elements->child[i] && elements->child[i]->kind == ZEND_AST_ARRAY_ELEM)
                    targets.push_back(elements->child[i]->child[0]);
        }
    }

    // The variable written: a yield it reaches through `[]` and `->` is refused.
    void noteWritten(zend_ast* variable)
    {
        while (variable && (variable->kind == ZEND_AST_DIM || variable->kind == ZEND_AST_PROP))
            variable = variable->child[0];
        if (variable && (variable->kind == ZEND_AST_YIELD || variable->kind == ZEND_AST_YIELD_FROM))
            refusedYields.insert(variable);
    }

    // Some element of the list, at any depth, is taken by reference
    // (zend_propagate_list_refs).
    static bool listTakesReferences(zend_ast* list)
    {
        std::vector<zend_ast*> lists{list};
        while (!lists.empty()) {
            const zend_ast_list* elements = zend_ast_get_list(lists.back());
            lists.pop_back();
            for (uint32_t i = 0; i < elements->children; ++i) {
                zend_ast* element = elements->child[i];
                if (!element || element->kind != ZEND_AST_ARRAY_ELEM)
                    continue;
                if (element->attr)
                    return true;
                if (element->child[0] && element->child[0]->kind == ZEND_AST_ARRAY)
                    lists.push_back(element->child[0]);
            }
        }
        return false;
    }

    // The compiler keeps the value of declare(ticks) for the rest of the file,
    // or for the block a declare has; the walk visits the tree in the order
    // the compiler compiles it, and follows that value.
    void visitDeclare(zend_ast* declare, const Context& context)
    {
        const zval* before = ticks;
        if (declare->child[0] && zend_ast_is_list(declare->child[0])) {
            const zend_ast_list* declares = zend_ast_get_list(declare->child[0]);
            for (uint32_t i = 0; i < declares->children; ++i) {
                const zend_ast* element = declares->child[i];
                if (!element || !element->child[0] || !element->child[1] || element->child[0]->kind != ZEND_AST_ZVAL
                    || element->child[1]->kind != ZEND_AST_ZVAL)
                    continue;  // not a literal: the compiler refuses it
                const zval* name = zend_ast_get_zval(element->child[0]);
                if (Z_TYPE_P(name) == IS_STRING && zend_string_equals_literal_ci(Z_STR_P(name), "ticks"))
                    ticks = zend_ast_get_zval(element->child[1]);
            }
        }
        if (declare->child[1]) {
            pending.push_back(Item{Step::RestoreTicks, nullptr, nullptr, context, 0, false, before});
            push(&declare->child[1], context);
        }
    }

    void visitClass(zend_ast_decl* decl, const Context& context)
    {
        Context inside = context;
        static const std::string noClass;
        const bool anonymous = (decl->flags & ZEND_ACC_ANON_CLASS) != 0 || !decl->name;
        // Methods of an anonymous class have a name only the compiler knows.
        inside.className = anonymous ? &noClass : keep(qualified(context, lower(decl->name)));
        inside.traitBody = (decl->flags & ZEND_ACC_TRAIT) != 0;
        inside.generatorEntry = -2;
        pushChildren(decl->child, 5, inside);
    }

    void visitFunction(zend_ast_decl* decl, const Context& context)
    {
        Context inside = context;
        inside.generatorEntry = -2;
        if (decl->kind == ZEND_AST_FUNC_DECL)
            inside.className = nullptr;  // a function declared in a method is global

        int64_t entry = -1;
        bool byScope = false;
        std::string key;
        if (decl->kind == ZEND_AST_METHOD) {
            if (context.className && !context.className->empty()) {
                const std::string method = lower(decl->name);
                key = *context.className + "::" + method;
                byScope = context.traitBody && methodsListed;
            }
        } else if (decl->name) {
            // Functions and closures carry their namespace; closures their class.
            key = qualified(context, lower(decl->name));
            if (decl->kind != ZEND_AST_FUNC_DECL && context.className && !context.className->empty())
                key = *context.className + "::" + key;
        }
        if (!key.empty()) {
            auto found = entryByKey.find(key);
            if (found != entryByKey.end())
                entry = found->second;
        }
        bool listed = (entry >= 0 || byScope) && decl->child[2];
        const char* untimed = nullptr;
        if (listed && decl->kind == ZEND_AST_ARROW_FUNC)
            untimed = "Listed arrow function is not timed (its body is one expression):";
        else if (listed && (decl->flags & ZEND_ACC_GENERATOR) && (decl->flags & ZEND_ACC_RETURN_REFERENCE))
            untimed = "Listed generator returning by reference is not timed:";  // its values cannot pass the probe
        if (untimed) {
            if (warnedUntimed.insert(key).second)
                Manager::LOG.logWarning(untimed, key);
            listed = false;
        }
        if (listed && (decl->flags & ZEND_ACC_GENERATOR)) {
            inside.generatorEntry = entry;
            inside.generatorByScope = byScope;
        }
        if (listed)
            pending.push_back(Item{Step::WrapBody, nullptr, decl, inside, entry, byScope, ticks});
        pushChildren(decl->child, 5, inside);
    }

    std::vector<Item> pending;
    std::deque<std::string> names;  // namespace and class names
    std::deque<FunctionImports> importSets;  // the contexts' imports
    std::unordered_set<const zend_ast*> refusedYields;  // left for the compiler to refuse
    // The literal of the declare(ticks) in force (in the tree); null: none yet.
    const zval* ticks = nullptr;
};

// The probe's functions are in the function table: a site may have disabled
// them (disable_functions), and code calling a missing function would fail.
bool probeFunctionsAvailable()
{
    int& available = functionsAvailable;
    if (available < 0) {
        available = 1;
        for (const char* name : {kEnter, kLeave, kSuspend, kResume}) {
            std::string key = lower(name, std::strlen(name));
            if (!zend_hash_str_find_ptr(CG(function_table), key.data(), key.size()))
                available = 0;
        }
        if (!available)
            Manager::LOG.logError("The probe's functions are disabled: listed user functions are not timed");
    }
    return available == 1;
}

// A compile of `file` (the engine's compiled file name, which its op arrays
// carry) is under way, and rewrote listed code or did not. Only a compile the
// engine runs (a tree parsed for other reasons is processed too) whose op
// arrays come to the handler: one that never ends must not hide the others.
void compileStarts(const zend_string* file, bool rewrote)
{
    const zend_op_array* main = CG(active_op_array);
    if (!file || !CG(in_compilation) || !main || main->function_name || main->last != 0
        || !(CG(compiler_options) & ZEND_COMPILE_HANDLE_OP_ARRAY) || compiles.capacity() < kMaxCompiles)
        return;
    if (compiles.size() >= kMaxCompiles)
        compiles.erase(compiles.begin());  // the oldest, cut short (or nested deeper than any script)
    compiles.emplace_back();
    Compile& compile = compiles.back();
    compile.main = main;
    if (rewrote) {
        compile.file.assign(ZSTR_VAL(file), ZSTR_LEN(file));  // can throw: then noted as not rewritten
        compile.rewrote = true;
    }
}

// Whether `opArray` was made by the innermost compile and that compile
// rewrote listed code. Its own code, the last it makes, ends it.
bool fromRewritingCompile(const zend_op_array* opArray)
{
    if (compiles.empty())
        return false;
    const Compile& innermost = compiles.back();
    const bool rewrote = innermost.rewrote && opArray->filename
        && std::string_view(ZSTR_VAL(opArray->filename), ZSTR_LEN(opArray->filename)) == innermost.file;
    if (!opArray->function_name) {
        for (std::size_t i = compiles.size(); i-- > 0;) {
            if (compiles[i].main == opArray) {
                compiles.erase(compiles.begin() + static_cast<std::ptrdiff_t>(i), compiles.end());
                break;
            }
        }
    }
    return rewrote;
}

void process(zend_ast* ast)
{
    if (previousProcess)
        previousProcess(ast);
    // The file this compile makes op arrays for.
    const zend_string* file = CG(compiled_filename);
    // A line logged here must not show in the script's next warning.
    const vorn::ScriptErrno scriptErrno;
    if (!ast || !probeFunctionsAvailable()) {
        compileStarts(file, false);
        scriptErrno.restore();
        return;
    }
    bool rewrote = false;
    bool bailedOut = false;
    try {
        // Making the walker allocates: it is made inside the try, and what
        // it rewrote is read however the walk ends (bodies rewritten before
        // a failure part way are rewritten all the same).
        Walker walker;
        struct Outcome {
            const Walker& walker;
            bool& rewrote;
            ~Outcome() { rewrote = walker.rewrote; }
        } outcome{walker, rewrote};
        static const std::string global;
        Context context;
        context.ns = &global;
        zend_ast* root = ast;
        walker.run(&root, context);
    } catch (const EngineBailedOut&) {
        bailedOut = true;
    } catch (const std::exception& e) {
        Manager::LOG.logError("Instrumentation of compiled code failed:", e.what());
    } catch (...) {
        Manager::LOG.logError("Instrumentation of compiled code failed");
    }
    try {
        if (!bailedOut)
            compileStarts(file, rewrote);
    } catch (const std::exception& e) {
        // Without its note the file's probe calls keep the lines they have.
        Manager::LOG.logError("Instrumentation of compiled code failed:", e.what());
    }
    scriptErrno.restore();
    if (bailedOut)
        zend_bailout();  // nothing of the walk is left to release
}

// ---- Lines of the probe's opcodes ---------------------------------------------

// Before pass_two an operand's constant is its literal's index.
bool initsCallOf(const zend_op_array* opArray, const zend_op& op, const char* name, std::size_t length)
{
    if ((op.opcode != ZEND_INIT_FCALL && op.opcode != ZEND_INIT_FCALL_BY_NAME) || op.op2_type != IS_CONST
        || op.op2.constant >= static_cast<uint32_t>(opArray->last_literal))
        return false;
    const zval* literal = &opArray->literals[op.op2.constant];
    return Z_TYPE_P(literal) == IS_STRING
        && !zend_binary_strcasecmp(Z_STRVAL_P(literal), Z_STRLEN_P(literal), name, length);
}

bool sendsArgument(zend_uchar opcode)
{
    switch (opcode) {
    case ZEND_SEND_VAL:
    case ZEND_SEND_VAL_EX:
    case ZEND_SEND_VAR:
    case ZEND_SEND_VAR_EX:
    case ZEND_SEND_VAR_NO_REF:
    case ZEND_SEND_VAR_NO_REF_EX:
    case ZEND_SEND_FUNC_ARG:
    case ZEND_EXT_FCALL_BEGIN:
        return true;
    default:
        return false;
    }
}

bool makesCall(zend_uchar opcode)
{
    return opcode == ZEND_DO_ICALL || opcode == ZEND_DO_FCALL || opcode == ZEND_DO_FCALL_BY_NAME
        || opcode == ZEND_DO_UCALL;
}

// The opcodes from `first` to the end of the call whose arguments begin at
// `sends` take the line of the script's own opcode that follows them: where
// the executor stands between the two is the script's next step. A call whose
// result is unused takes `lineIfUnused` instead, when not 0. Nothing is
// changed when the code is not shaped as the rewrite made it.
void lineOfWhatFollows(zend_op_array* opArray, uint32_t first, uint32_t sends, uint32_t lineIfUnused = 0)
{
    const uint32_t last = opArray->last;
    uint32_t at = sends;
    while (at < last && sendsArgument(opArray->opcodes[at].opcode))
        ++at;
    if (at >= last || !makesCall(opArray->opcodes[at].opcode))
        return;
    const bool unused = opArray->opcodes[at].result_type == IS_UNUSED;
    if (at + 1 < last && opArray->opcodes[at + 1].opcode == ZEND_EXT_FCALL_END)
        ++at;
    if (at + 1 >= last)
        return;
    const uint32_t line = unused && lineIfUnused ? lineIfUnused : opArray->opcodes[at + 1].lineno;
    for (uint32_t i = first; i <= at; ++i)
        opArray->opcodes[i].lineno = line;
}

// The opcode after the yield at `at` passes the yield's value to a call, as
// the rewrite passes it to `resume()`.
bool sendsYieldedValue(const zend_op_array* opArray, uint32_t at)
{
    if (at + 1 >= opArray->last)
        return false;
    const zend_op& yield = opArray->opcodes[at];
    const zend_op& next = opArray->opcodes[at + 1];
    return sendsArgument(next.opcode) && next.op1_type == yield.result_type && next.op1.var == yield.result.var;
}

// The yield at `at` (its value passed to resume()) is written through `->`
// and `[]` and passed by reference to a function the compiler knew: there the
// compiler refuses a yield, as a write to a temporary value, and accepts the
// call that took its place. Which argument is by reference the compiler
// decides only as it compiles the call (the other writes leave the yield as
// it was, for the compiler to refuse), so the refusal is read in the opcodes:
// resume()'s result fetched for writing, down to a send by reference (the
// other writes of a call's result are those the walk left as yields).
bool writtenByReference(const zend_op_array* opArray, uint32_t at)
{
    uint32_t call = at + 1;
    while (call < opArray->last && sendsArgument(opArray->opcodes[call].opcode))
        ++call;
    if (call >= opArray->last || !makesCall(opArray->opcodes[call].opcode)
        || opArray->opcodes[call].result_type != IS_VAR)
        return false;
    uint32_t value = opArray->opcodes[call].result.var;
    // A call's result that is written to is separated at once, in its own
    // place; any other use is read (and the walk costs one opcode).
    uint32_t next = call + 1;
    if (next < opArray->last && opArray->opcodes[next].opcode == ZEND_EXT_FCALL_END)
        ++next;
    if (next >= opArray->last || opArray->opcodes[next].opcode != ZEND_SEPARATE
        || opArray->opcodes[next].op1_type != IS_VAR || opArray->opcodes[next].op1.var != value)
        return false;
    // Each fetch follows the expression of its key or name.
    for (uint32_t i = next + 1; i < opArray->last; ++i) {
        const zend_op& op = opArray->opcodes[i];
        const bool first = op.op1_type == IS_VAR && op.op1.var == value;
        if (!first && !(op.op2_type == IS_VAR && op.op2.var == value))
            continue;
        if (first && (op.opcode == ZEND_FETCH_OBJ_W || op.opcode == ZEND_FETCH_DIM_W) && op.result_type == IS_VAR) {
            value = op.result.var;
            continue;
        }
        return first && op.opcode == ZEND_SEND_REF;
    }
    return false;
}

uint64_t fnv1a(uint64_t hash, const std::string& text)
{
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    hash ^= 0xff;  // separator
    hash *= 1099511628211ull;
    return hash;
}

// ---- The probe's functions ----------------------------------------------------

// The listed function's frame: the caller of the probe's function.
zend_execute_data* listedFrame(zend_execute_data* execute_data)
{
    zend_execute_data* frame = execute_data->prev_execute_data;
    if (!frame || !frame->func || !ZEND_USER_CODE(frame->func->type))
        return nullptr;
    return frame;
}

int64_t longArg(zend_execute_data* execute_data, uint32_t number, int64_t fallback)
{
    if (ZEND_CALL_NUM_ARGS(execute_data) < number)
        return fallback;
    zval* value = ZEND_CALL_ARG(execute_data, number);
    return Z_TYPE_P(value) == IS_LONG ? static_cast<int64_t>(Z_LVAL_P(value)) : fallback;
}

// The exception that is leaving the listed function while its finally block
// runs: the engine keeps it aside in the block's own variable meanwhile.
zend_object* exceptionLeaving(zend_execute_data* frame)
{
    const zend_op_array& opArray = frame->func->op_array;
    if (!frame->opline || !opArray.opcodes)
        return nullptr;
    const uint32_t at = static_cast<uint32_t>(frame->opline - opArray.opcodes);
    for (int i = 0; i < opArray.last_try_catch; ++i) {
        const zend_try_catch_element& element = opArray.try_catch_array[i];
        if (!element.finally_op || at < element.finally_op || at >= element.finally_end
            || element.finally_end >= opArray.last)
            continue;
        const zend_op& fastRet = opArray.opcodes[element.finally_end];
        if (fastRet.opcode != ZEND_FAST_RET)
            continue;
        zval* fastCall = ZEND_CALL_VAR(frame, fastRet.op1.var);
        return Z_OBJ_P(fastCall);  // the outermost block is the probe's
    }
    return nullptr;
}

ZEND_FUNCTION(quillet_probe_enter)
{
    (void)return_value;
    if (!Manager::get().collecting)
        return;
    if (zend_execute_data* frame = listedFrame(execute_data))
        Manager::listedCallBegins(frame, longArg(execute_data, 1, -1), longArg(execute_data, 2, 0) != 0);
}

ZEND_FUNCTION(quillet_probe_leave)
{
    (void)return_value;
    if (!Manager::get().hasOpenCalls())
        return;
    if (zend_execute_data* frame = listedFrame(execute_data))
        Manager::listedCallEnds(frame, exceptionLeaving(frame));
}

ZEND_FUNCTION(quillet_probe_suspend)
{
    if (ZEND_CALL_NUM_ARGS(execute_data) >= 1)
        ZVAL_COPY(return_value, ZEND_CALL_ARG(execute_data, 1));
    if (!Manager::get().hasOpenCalls())
        return;
    if (zend_execute_data* frame = listedFrame(execute_data))
        Manager::listedCallEnds(frame, nullptr);
}

ZEND_FUNCTION(quillet_probe_resume)
{
    if (ZEND_CALL_NUM_ARGS(execute_data) >= 1)
        ZVAL_COPY(return_value, ZEND_CALL_ARG(execute_data, 1));
    if (!Manager::get().collecting)
        return;
    if (zend_execute_data* frame = listedFrame(execute_data))
        Manager::listedCallBegins(frame, longArg(execute_data, 2, -1), longArg(execute_data, 3, 0) != 0);
}

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_enter, 0, 2, IS_VOID, 0)
    ZEND_ARG_TYPE_INFO(0, entry, IS_LONG, 0)
    ZEND_ARG_TYPE_INFO(0, byScope, IS_LONG, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_leave, 0, 0, IS_VOID, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_suspend, 0, 0, IS_MIXED, 0)
    ZEND_ARG_TYPE_INFO(0, value, IS_MIXED, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_resume, 0, 3, IS_MIXED, 0)
    ZEND_ARG_TYPE_INFO(0, value, IS_MIXED, 0)
    ZEND_ARG_TYPE_INFO(0, entry, IS_LONG, 0)
    ZEND_ARG_TYPE_INFO(0, byScope, IS_LONG, 0)
ZEND_END_ARG_INFO()

}  // namespace

const zend_function_entry functions[] = {
    ZEND_RAW_FENTRY(kEnter, ZEND_FN(quillet_probe_enter), arginfo_enter, 0)
    ZEND_RAW_FENTRY(kLeave, ZEND_FN(quillet_probe_leave), arginfo_leave, 0)
    ZEND_RAW_FENTRY(kSuspend, ZEND_FN(quillet_probe_suspend), arginfo_suspend, 0)
    ZEND_RAW_FENTRY(kResume, ZEND_FN(quillet_probe_resume), arginfo_resume, 0)
    ZEND_FE_END
};

// An error the engine raises in a probe's call (the memory limit met when
// its frame is pushed, an expired time limit seen when it returns) names the
// line of the call's opcodes, and a suspended generator reports the line of
// the opcode it resumes at. So the opcodes of `enter()` take the line of the
// body's first statement, the line the engine names there without the probe
// (the declaration's line is no statement of the body), and those of
// `resume()` after a yield the line of the opcode that follows the yield
// without the probe: what uses its value, or the script's next statement (a
// yield's unused value needs no opcode; an unused `yield from`'s is freed on
// its own line).
void compiled(zend_op_array* opArray)
{
    if (!opArray || !fromRewritingCompile(opArray) || !opArray->opcodes)
        return;
    const std::size_t enterLength = sizeof(kEnter) - 1;
    const std::size_t resumeLength = sizeof(kResume) - 1;
    bool resumes = false;
    for (uint32_t i = 0; i < opArray->last; ++i) {
        const zend_op& op = opArray->opcodes[i];
        if (initsCallOf(opArray, op, kEnter, enterLength)) {
            lineOfWhatFollows(opArray, i, i + 1);
        } else if (initsCallOf(opArray, op, kResume, resumeLength)) {
            // Comes before its yield: every yield after it is rewritten.
            resumes = true;
        } else if (resumes && (op.opcode == ZEND_YIELD || op.opcode == ZEND_YIELD_FROM)
                   && sendsYieldedValue(opArray, i)) {
            if (writtenByReference(opArray, i)) {
                // The compiler's own error, on the yield's line (this runs
                // while the file compiles, before its jumps are resolved).
                CG(zend_lineno) = op.lineno;
                zend_error_noreturn(E_COMPILE_ERROR, "Cannot use temporary expression in write context");
            }
            // The compiler frees an unused `yield from`'s result on its own line.
            lineOfWhatFollows(opArray, i + 1, i + 1, op.opcode == ZEND_YIELD_FROM ? op.lineno : 0);
        }
    }
}

void install(const std::vector<Target>& targets)
{
    if (hookInstalled || targets.empty())
        return;
    compiles.reserve(kMaxCompiles);
    uint64_t hash = 1469598103934665603ull;
    // What the rewrite makes changes with its sources: code another build
    // rewrote must not come back from opcache's file cache either.
    hash = fnv1a(hash, "listed-function-rewrite/" QUILLET_REWRITER_DIGEST);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target& target = targets[i];
        std::string key = target.className.empty() ? target.methodName : target.className + "::" + target.methodName;
        hash = fnv1a(hash, key);
        entryByKey.emplace(key, static_cast<int64_t>(i));  // the first entry of a key stays
        methodsListed = methodsListed || !target.className.empty();
    }
    // Code compiled under other point files must not come back from
    // opcache's file cache.
    if (!vorn::addSystemIdEntropy("zend_ast_process", &hash, sizeof(hash)))
        Manager::LOG.logWarning("Could not add the listed functions to the engine's system id");
    // Never chained to itself: module shutdown puts the previous hook back,
    // but a hook installed after this one keeps it (the warning in
    // uninstall()), and a library loaded again at the same address finds its
    // own function there.
    previousProcess = zend_ast_process != process ? zend_ast_process : nullptr;
    zend_ast_process = process;
    hookInstalled = true;
}

void uninstall()
{
    if (hookInstalled) {
        if (zend_ast_process == process)
            zend_ast_process = previousProcess;
        else
            Manager::LOG.logWarning("The compiler hook was chained by another extension and is left installed");
    }
    hookInstalled = false;
    previousProcess = nullptr;
    entryByKey.clear();
    methodsListed = false;
    warnedUntimed.clear();
    functionsAvailable = -1;
    compiles.clear();
}

void requestStarts()
{
    compiles.clear();
}

}  // namespace ListedFunctionRewriter
