"""What the engine derives from a listed function's code is derived from the
script's own code: the description a failed assert() carries, the line an
error raised at the probe's added calls names, and the line a suspended
generator reports. Each script prints the same as plain php, with and
without opcache and its JIT."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite, points  # noqa: E402

POINTS = points(*((None, method) for method in (
    "App\\{closure}",
    "Imported\\{closure}",
    "{closure}",
    "App\\gen",
    "App\\delegate",
    "recurse",
    "g",
    "App\\g",
    "App\\h",
    "App\\names",
    "Aliased\\gen",
    "refused",
    "accepted",
)))

# assert() with one argument, in the forms the compiler treats as assert(),
# around listed closures holding the constructs its description exports; and
# a function imported under the name assert, which gets no description.
ASSERTS = r"""<?php
namespace App {
    enum Suit: string { case Hearts = 'H'; }
    function show(callable $f) {
        try { $f(); } catch (\AssertionError $e) {
            echo $e->getMessage(), "\n", $e->getTrace()[0]['args'][1] ?? '(none)', "\n";
        }
    }
    show(fn() => assert((function () { return false; })()));
    show(fn() => \assert((function (int|string $a = 1): ?array { return null; })() !== null));
    show(fn() => assert(assertion: (function () { return match (1) { 1 => false, default => true }; })()));
    show(fn() => assert((function () { yield 1; })()->current() === 2));
    show(fn() => assert((function () {
        $o = new class { public function m(): bool { return false; } };
        return $o->m() && Suit::Hearts;
    })()));
}
namespace Other {
    function check(...$args) { echo 'own check, ', count($args), " argument(s)\n"; }
}
namespace Imported {
    use function Other\check as assert;
    assert((function () { return false; })());
}
namespace {
    try { namespace\assert((function () { return false; })()); } catch (AssertionError $e) { echo $e->getMessage(), "\n"; }
}
"""

# A suspended listed generator, alone and delegated to, seen by reflection.
GENERATORS = r"""<?php
namespace App;
function gen()
{
    yield 1;
}
function delegate()
{
    yield from gen();
    $x = yield
        2;
}
$g = gen();
$g->current();
$r = new \ReflectionGenerator($g);
echo $r->getExecutingLine(), "\n";
$d = delegate();
$d->current();
$r = new \ReflectionGenerator($d);
foreach ($r->getTrace() as $frame) { echo $frame['function'], '@', $frame['line'] ?? '-', "\n"; }
echo $r->getExecutingLine(), "\n";
$d->next();
echo $r->getExecutingLine(), "\n";
try {
    $g->throw(new \LogicException('into'));
} catch (\LogicException $e) {
    echo $e->getMessage(), "\n";
}
"""

# Recursion until the memory limit: the error names the recursive call, as
# without the probe. (Met at enter(), it names the body's first statement,
# which here is the call; the README lists the other case.)
RECURSION = r"""<?php
ini_set('memory_limit', '8M');
function recurse()
{
    recurse();
}
recurse();
"""

# assert() reached under other names: imported under an alias (caselessly),
# or named by a constant string (a literal concatenation is one once parsed),
# inside listed generators and around a listed closure. A call through a
# variable is no assert() to the compiler, an alias named assert of another
# function neither, and a namespace's imports end where the next one begins.
ASSERT_ALIASES = r"""<?php
namespace App {
    use function assert as check;
    use function ASSERT as Verify;
    function g() { try { check((yield 1) === 2); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; } }
    function h() { try { check((function () { return false; })()); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; } }
    function names()
    {
        try { '\assert'((yield 1) === 2); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; }
        try { 'ASSERT'((yield 2) === 3); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; }
        try { ('as' . 'sert')((yield 3) === 4); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; }
        try { VERIFY((yield 4) === 5); } catch (\AssertionError $e) { echo $e->getMessage(), "\n"; }
        $name = 'assert';
        try { $name((yield 5) === 6); } catch (\AssertionError $e) { echo 'dynamic: ', $e->getMessage(), "\n"; }
    }
    $gen = g(); $gen->current(); $gen->send(5); h();
    foreach (names() as $_) {}
}
namespace Other {
    function check(...$args) { echo 'own check, ', count($args), " argument(s)\n"; }
}
namespace Aliased {
    use Other\{function check as assert};
    function gen() { assert((yield 1) === 2); }
    foreach (gen() as $_) {}
}
namespace Later {
    function check(...$args) { echo 'Later\\check, ', count($args), " argument(s)\n"; }
    check((function () { return false; })());
}
"""

# The same outside any namespace, where an imported name is resolved when
# compiled.
ASSERT_ALIASES_GLOBAL = r"""<?php
use function assert as check;
try { check((function () { return false; })()); } catch (AssertionError $e) { echo $e->getMessage(), "\n"; }
"""

# A file compiled while another is being compiled (an error handler run by a
# deprecation the compiler raises includes it): the listed generator compiled
# after it still reports the line it resumes at.
DURING_MAIN = r"""<?php
set_error_handler(function ($no, $str) { include __DIR__ . '/during.php'; return true; });
include __DIR__ . '/outer.php';
$gen = g(); $gen->current();
echo (new ReflectionGenerator($gen))->getExecutingLine(), "\n";
"""

DURING_OUTER = r"""<?php
function dep($a = 1, $b) {}
function g() {
    yield 1;

    echo "after\n";
}
"""

# A yield the compiler refuses where it would accept a call, in a listed
# generator: the script fails to compile as it does without the probe.
REFUSED = {
    "refused_write.php": "(yield 1)->x = 5;",
    "refused_reference_list.php": "[&$a] = yield 1;",
    "refused_list_target.php": "[(yield 1)->x] = [1];",
    "refused_by_reference.php": "sort((yield 1)[0]);",
}
REFUSED_TEMPLATE = """<?php
function refused()
{
    $a = 1;
    %s
}
echo "compiled\\n";
"""

# Yields next to those writes that the compiler accepts: each is rewritten,
# so each resumption is a call of its own.
ACCEPTED = r"""<?php
function byref(&$r) {}
function accepted()
{
    $arr = ['k' => 1];
    $r = &$arr[yield 1];
    unset($arr[yield 2]);
    [(yield 3) => $b] = ['k' => 4];
    $f = 'byref';
    $f((yield 4)[0]);
    echo $b, count($arr), "\n";
}
$g = accepted();
foreach (['k', 'k', 'k', [1]] as $sent) {
    $g->send($sent);
}
"""

# Every piece of a template engine is eval()'d at one line, so all bear the
# same name; one compiled while another is (the deprecation its handler
# hears) rewrites nothing, and the listed closure compiled after it still
# reports the line it resumes at. The same with a stream wrapper that serves
# other code at a second include of the same path.
PIECE = r"""$title = "x"; $line = "Title: ${title}";
return function () use ($line) {
    yield $line;

    echo "rest\n";
};"""

SAME_NAME_EVAL = r"""<?php
final class View { public static function render(string $c, array $v) { extract($v); return eval($c); } }
set_error_handler(function ($no, $msg) { View::render('return "";', []); return true; });
$page = View::render('""" + PIECE.replace("\\", "\\\\").replace("'", "\\'") + r"""', []);
$g = $page(); $g->current();
echo (new ReflectionGenerator($g))->getExecutingLine(), "\n";
"""

SAME_NAME_WRAPPER = r"""<?php
final class Templates
{
    public $context;
    private static $opened = 0;
    private $code = '';
    public function stream_open($path, $mode, $options, &$openedPath)
    {
        $this->code = self::$opened++ === 0 ? '<?php """ + PIECE.replace("\\", "\\\\").replace("'", "\\'") + r"""' : '<?php return "";';
        return true;
    }
    public function stream_read($count)
    {
        $part = substr($this->code, 0, $count);
        $this->code = substr($this->code, strlen($part));
        return $part;
    }
    public function stream_eof() { return $this->code === ''; }
    public function stream_stat() { return []; }
    public function stream_set_option($option, $a, $b) { return false; }
}
stream_wrapper_register('tpl', 'Templates');
set_error_handler(function ($no, $msg) { include 'tpl://page'; return true; });
$page = include 'tpl://page';
$g = $page(); $g->current();
echo (new ReflectionGenerator($g))->getExecutingLine(), "\n";
"""

# A compile of that name cut short by a fatal error leaves nothing behind.
SAME_NAME_AFTER_FATAL = r"""<?php
ini_set('display_errors', '0');
final class View { public static function render(string $c) { return eval($c); } }
register_shutdown_function(function () {
    $page = View::render('""" + PIECE.replace("\\", "\\\\").replace("'", "\\'") + r"""');
    $g = $page(); $g->current();
    echo (new ReflectionGenerator($g))->getExecutingLine(), "\n";
});
View::render('function twice() {} function twice() {}');
"""

SCRIPTS = {"accepted.php": ACCEPTED, "asserts.php": ASSERTS, "generators.php": GENERATORS, "recursion.php": RECURSION,
           "assert_aliases.php": ASSERT_ALIASES, "assert_aliases_global.php": ASSERT_ALIASES_GLOBAL,
           "during_main.php": DURING_MAIN, "outer.php": DURING_OUTER, "during.php": "<?php\n",
           "same_name_eval.php": SAME_NAME_EVAL, "same_name_wrapper.php": SAME_NAME_WRAPPER,
           "same_name_after_fatal.php": SAME_NAME_AFTER_FATAL}
SCRIPTS.update((name, REFUSED_TEMPLATE % statement) for name, statement in REFUSED.items())

JIT = {"zend_extension": "opcache", "opcache.enable": 1, "opcache.jit": "tracing",
       "opcache.jit_buffer_size": "16M", "opcache.file_update_protection": 0}


class ListedCodeAsWrittenTest(unittest.TestCase):

    def site(self, overrides):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_function_threshold": 0, "zend.assertions": 1}
        settings.update(overrides)
        site.start(POINTS, SCRIPTS, settings)
        return site

    def plain(self, site, script):
        return subprocess.run([site.php, "-n", "-d", "zend.assertions=1", os.path.join(site.docroot, script)],
                              cwd=site.docroot, capture_output=True, text=True, timeout=qxharness.DEFAULT_TIMEOUT)

    def test_script_sees_its_own_code(self):
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                for script, listed in (("asserts.php", "{closure}"), ("generators.php", "App\\gen")):
                    plain = self.plain(site, script)
                    self.assertEqual("", plain.stderr)
                    for _ in range(2):  # compiled, then from opcache
                        _, body, block = site.block_for("/" + script)
                        self.assertEqual(plain.stdout, body, site.diagnostics())
                        self.assertIn(listed, "".join(block.names()), site.diagnostics())

    def test_assert_under_other_names_describes_the_scripts_own_code(self):
        failed_closure = "assert(function () {\n    return false;\n}())\n"
        expected = {
            "assert_aliases.php": "assert((yield 1) === 2)\n" + failed_closure
            + "".join("assert((yield %d) === %d)\n" % (n, n + 1) for n in (1, 2, 3, 4))
            + "dynamic: \nown check, 1 argument(s)\nLater\\check, 1 argument(s)\n",
            "assert_aliases_global.php": failed_closure,
        }
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                for script, listed in (("assert_aliases.php", "App\\names"),
                                       ("assert_aliases_global.php", "{closure}")):
                    plain = self.plain(site, script)
                    self.assertEqual((expected[script], ""), (plain.stdout, plain.stderr))
                    for _ in range(2):  # compiled, then from opcache
                        _, body, block = site.block_for("/" + script)
                        self.assertEqual(plain.stdout, body, site.diagnostics())
                        self.assertIn(listed, block.names(), site.diagnostics())

    def test_a_file_compiled_during_another_leaves_the_lines_of_the_rest(self):
        # Opcache compiles without the script's error handler and shows the
        # deprecation itself, with or without the probe.
        quiet = {"display_errors": 0}
        for name, overrides in (("no opcache", quiet), ("opcache with JIT", dict(JIT, **quiet))):
            with self.subTest(name):
                site = self.site(overrides)
                plain = self.plain(site, "during_main.php")
                self.assertEqual(("6\n", ""), (plain.stdout, plain.stderr))
                for _ in range(2):  # compiled, then from opcache
                    _, body, block = site.block_for("/during_main.php")
                    self.assertEqual(plain.stdout, body, site.diagnostics())
                    self.assertIn("g", block.names(), site.diagnostics())

    def test_yields_the_compiler_refuses_are_refused_alike(self):
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                for script in sorted(REFUSED):
                    plain = self.plain(site, script)
                    self.assertIn("Fatal error: ", plain.stdout, script)
                    _, body = site.request("/" + script)[:2]
                    self.assertEqual(" ".join(plain.stdout.split()), " ".join(re.sub("<[^>]*>", "", body).split()),
                                     script)
                plain = self.plain(site, "accepted.php")
                self.assertEqual(("40\n", ""), (plain.stdout, plain.stderr))
                _, body, block = site.block_for("/accepted.php")
                self.assertEqual(plain.stdout, body, site.diagnostics())
                # The first run and four resumptions.
                self.assertEqual(5, block.names().count("accepted"), site.diagnostics())

    def test_a_compile_of_the_same_name_during_another_leaves_the_lines_of_the_rest(self):
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                for script in ("same_name_eval.php", "same_name_wrapper.php", "same_name_after_fatal.php"):
                    plain = self.plain(site, script)
                    self.assertEqual(("5\n", ""), (plain.stdout, plain.stderr))
                    for _ in range(2):
                        _, body, block = site.block_for("/" + script)
                        self.assertEqual(plain.stdout, body, script + "\n" + site.diagnostics())
                        self.assertIn("{closure}", block.names(), site.diagnostics())

    def test_memory_limit_met_entering_a_listed_function_names_its_statement(self):
        site = self.site({})
        plain = self.plain(site, "recursion.php")
        self.assertIn("on line 5", plain.stdout)
        _, body, block = site.block_for("/recursion.php")
        body = re.sub("<[^>]*>", "", body)
        self.assertIn("Allowed memory size", body)
        self.assertIn("on line 5", body, site.diagnostics())
        self.assertIn("recurse", block.names())


if __name__ == "__main__":
    qxharness.run_tests()
