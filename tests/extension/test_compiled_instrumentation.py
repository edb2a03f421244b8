"""Listed user functions instrumented by the compiler: the script sees exactly
what it sees without the probe (backtraces, lines, __LINE__, reflection,
exception traces, results, variables), with opcache and its JIT too; every
resumption of a listed generator is a call; code calling the probe's own
functions by hand records nothing."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = """
[traced]
method=App\\traced
layer=App
[method]
class=App\\Box
method=open
layer=App
[gen]
method=App\\numbers
layer=App
[closure]
class=App\\Box
method=App\\{closure}
layer=App
[spoofed]
method=App\\never
layer=App
[byref]
method=App\\byRef
layer=App
[preloaded]
method=preloaded
layer=App
"""

VIEW = r"""<?php
namespace App;
function traced($a, $b = 2) {
    $frames = array_map(fn($f) => ($f['function'] ?? '') . '@' . ($f['line'] ?? '-'), debug_backtrace());
    return [__LINE__, $frames, array_keys(get_defined_vars()), func_get_args()];
}
class Box {
    public function open($x) {
        if ($x < 0) { throw new \DomainException("negative $x"); }
        $f = function ($y) { return [$y * 2, __LINE__, (new \Exception('in closure'))->getLine()]; };
        return $f($x);
    }
}
function numbers() { $sent = yield 1; yield $sent + 1; return 'done'; }
function &byRef(array &$list) { return $list[0]; }
$out = [];
$out['traced'] = traced(1);
$out['method'] = (new Box())->open(3);
try { (new Box())->open(-1); } catch (\DomainException $e) {
    $out['exception'] = [$e->getMessage(), $e->getLine(), $e->getTraceAsString()];
}
$g = numbers();
$out['gen'] = [$g->current(), $g->send(10), $g->next(), $g->valid(), $g->getReturn()];
$r = new \ReflectionFunction('App\traced');
$out['reflection'] = [$r->getStartLine(), $r->getEndLine(), $r->getNumberOfParameters(), $r->isGenerator(),
                      (new \ReflectionFunction('App\numbers'))->isGenerator()];
$out['line'] = __LINE__;
$list = [1]; $ref = &byRef($list); $ref = 9; $out['byref'] = $list;
echo json_encode($out);
"""

# Calls of the probe's functions written by hand are not the application's.
SPOOF = r"""<?php
namespace App;
function never() { return 1; }
function fake() { \Quillet\Probe\enter(4, 0); \Quillet\Probe\enter(0, 0); \Quillet\Probe\leave(); return 2; }
echo never() + fake() - never();
"""

# The probe's begin written by hand into a listed function, again and again.
REPEAT = r"""<?php
namespace App;
function never() { for ($i = 0; $i < 3; $i++) { \Quillet\Probe\enter(4, 0); } return 1; }
echo never();
"""

# Ticks counted around listed calls that return, fall off their end, yield
# and throw; the probe's own statements must add none.
TICKS = r"""<?php
namespace App;
declare(ticks=1);
$n = 0;
register_tick_function(function () use (&$n) { $n++; });
function traced($a) { $b = $a + 1; return $b; }
class Box { public function open($x) { $x++; } }
function numbers() { yield 1; $a = 2; yield $a; }
function never() { $a = 1; throw new \RuntimeException('t'); }
$out = [];
$n = 0; traced(1); $out[] = $n;
$n = 0; (new Box())->open(1); $out[] = $n;
$n = 0; foreach (numbers() as $v) { $v++; } $out[] = $n;
$n = 0; try { never(); } catch (\RuntimeException $e) { $n += 100; } $out[] = $n;
echo implode(',', $out);
"""

# Every function compiled by the JIT when its script is loaded.
SCRIPTS = {"view.php": VIEW, "spoof.php": SPOOF, "repeat.php": REPEAT, "use_preloaded.php": "<?php echo preloaded();",
           "preload.php": "<?php function preloaded() { return 'pre'; }", "ticks.php": TICKS}

JIT = {"zend_extension": "opcache", "opcache.enable": 1, "opcache.jit": "function",
       "opcache.jit_buffer_size": "16M", "opcache.file_update_protection": 0}


class CompiledInstrumentationTest(unittest.TestCase):

    def site(self, overrides, start=True):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_function_threshold": 0}
        settings.update(overrides)
        if start:
            site.start(POINTS, SCRIPTS, settings)
        return site

    def plain_output(self, site, script="view.php"):
        out = subprocess.run([site.php, "-n", os.path.join(site.docroot, script)], cwd=site.docroot,
                             capture_output=True, text=True, timeout=qxharness.DEFAULT_TIMEOUT)
        self.assertEqual("", out.stderr)
        return out.stdout

    def test_script_sees_what_it_sees_without_the_probe(self):
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                expected = self.plain_output(site)
                for _ in range(2):  # compiled, then from opcache
                    status, body, block = site.block_for("/view.php")
                    self.assertEqual((200, expected), (status, body), site.diagnostics())
                calls = [(c["name"], c["depth"], c["flags"]) for c in block.calls()]
                self.assertEqual([("App\\traced", 3, 0),
                                  ("App\\Box::open", 3, 0), ("App\\Box::App\\{closure}", 4, 0),
                                  ("App\\Box::open", 3, 33),
                                  ("App\\numbers", 3, 0), ("App\\numbers", 3, 0), ("App\\numbers", 3, 0),
                                  ("App\\byRef", 3, 0)],
                                 calls, site.diagnostics())
                self.assertEqual("negative -1", block.calls()[3]["message"])

    def test_declared_ticks_count_as_without_the_probe(self):
        for name, overrides in (("no opcache", {}), ("opcache with JIT", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                expected = self.plain_output(site, "ticks.php")
                for _ in range(2):  # compiled, then from opcache
                    _, body, block = site.block_for("/ticks.php")
                    self.assertEqual(expected, body, site.diagnostics())
                self.assertEqual(["App\\traced", "App\\Box::open"] + ["App\\numbers"] * 3 + ["App\\never"],
                                 block.names(), site.diagnostics())

    def test_function_compiled_by_opcache_preloading_is_timed(self):
        site = self.site({}, start=False)
        settings = {"qx.slow_function_threshold": 0, "zend_extension": "opcache", "opcache.enable": 1,
                    "opcache.preload": os.path.join(site.docroot, "preload.php")}
        if os.geteuid() == 0:
            settings["opcache.preload_user"] = "root"
        site.start(POINTS, SCRIPTS, settings)
        _, body, block = site.block_for("/use_preloaded.php")
        self.assertEqual("pre", body)
        self.assertEqual(["preloaded"], block.names(), site.diagnostics())

    def test_probe_functions_called_by_hand_record_nothing(self):
        # The entry that never()'s code resolved stays its own: other code
        # naming it is turned down, in the same request and in later ones
        # (opcache keeps the code and its names across requests).
        for name, overrides in (("no opcache", {}), ("opcache", JIT)):
            with self.subTest(name):
                site = self.site(overrides)
                for _ in range(2):
                    _, body, block = site.block_for("/spoof.php")
                    self.assertEqual("2", body)
                    self.assertEqual(["App\\never", "App\\never"], block.names(), site.diagnostics())

    def test_listed_function_beginning_itself_again_is_timed_once(self):
        site = self.site({})
        _, body, block = site.block_for("/repeat.php")
        self.assertEqual("1", body)
        self.assertEqual(["App\\never"], block.names(), site.diagnostics())

    def test_deeply_nested_code_is_compiled_as_without_the_probe(self):
        # 30000 concatenations in a row nest the syntax tree that deep: well
        # within what the engine compiles, beyond what a recursive walk of the
        # tree has stack for.
        deep = ("<?php namespace App; function traced() { $a = 'x'; return strlen(" + " . ".join(["$a"] * 30000)
                + "); } echo traced();")
        site = self.site({}, start=False)
        site.start(POINTS, {"deep.php": deep}, {"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/deep.php")
        self.assertEqual("30000", body)
        self.assertEqual(["App\\traced"], block.names(), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
