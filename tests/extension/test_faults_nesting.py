"""Calls nest in a request's block as they ran: a fiber's calls end when it
suspends and begin again when it resumes, calls that exit() leaves behind end
before the destructors it runs begin, and the callbacks an internal function
makes come inside it, one level deeper."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = "".join("[%s]\nmethod=%s\nlayer=App\n" % (n, n) for n in (
    "F", "A", "B", "C", "cb", "array_map", "usort",
    "fm_worker", "fm_other", "fm_driver", "fa_work", "fa_after", "fa_start",
    "exitmin_inner", "exitmin_outer", "exitcb", "exitmap", "exitcaught_inner", "exitcaught_outer",
)) + "[d]\nclass=ExitMinDtor\nmethod=__destruct\nlayer=App\n"

SCRIPTS = {
    "fiber.php": """<?php
function F() { Fiber::suspend(); }
function A($f) { $f->start(); }
function B($f) { $f->resume(); }
function C() {}
$f = new Fiber('F');
A($f); C(); B($f);
echo 'done';
""",
    "fiber_meanwhile.php": """<?php
function fm_worker() { Fiber::suspend(1); return 2; }
function fm_other() { return 3; }
function fm_driver() { $f = new Fiber('fm_worker'); $f->start(); fm_other(); $f->resume(); return $f->getReturn(); }
echo fm_driver(), "\\n";
""",
    "fiber_abandoned.php": """<?php
function fa_work($drop) { try { Fiber::suspend(); } finally { if ($drop) fa_after(); } }
function fa_after() {}
function fa_start($drop) { $f = new Fiber('fa_work'); $f->start($drop); if ($drop) unset($f); }
fa_start(false);
fa_start(true);
echo 'done';
""",
    "exit_destructor.php": """<?php
class ExitMinDtor { function __destruct() { echo "dtor\\n"; } }
function exitmin_inner() { $o = new ExitMinDtor(); exit(0); }
function exitmin_outer() { exitmin_inner(); }
exitmin_outer();
""",
    "exit_callback.php": """<?php
function exitcb($v) { echo "cb\\n"; exit(0); }
function exitmap() { array_map('exitcb', [1]); }
exitmap();
""",
    "exit_caught.php": """<?php
class ExitThrows { function __destruct() { throw new Exception('dtor'); } }
function exitcaught_inner() { $o = new ExitThrows(); exit(0); }
function exitcaught_outer() { try { exitcaught_inner(); } catch (Exception $e) { echo "caught\\n"; } }
exitcaught_outer();
""",
    "callbacks.php": """<?php
function cb($v) { return $v * 2; }
function A() { $a = [3, 1, 2]; usort($a, fn($x, $y) => $x <=> $y); return implode(',', array_map('cb', $a)); }
echo A();
""",
}


def sequence(block):
    """The method events after the root as 'S name depth' / 'E name depth'."""
    names = {c["location"]: c["name"] for c in block.calls()}
    out = []
    for e in block.events:
        if e["kind"] in ("start", "end") and e["location"] in names:
            out.append("%s %s %d" % ("S" if e["kind"] == "start" else "E", names[e["location"]], e["depth"]))
    return out


def assert_well_nested(test, events, diagnostics):
    """Every end closes the innermost open start, and each call is deeper
    than the one it runs in."""
    stack = []
    for event in events:
        kind, name, depth = event.split(" ")
        if kind == "S":
            if stack:
                test.assertGreater(int(depth), stack[-1][1], "%s in %s\n%s" % (event, events, diagnostics))
            stack.append((name, int(depth)))
        else:
            test.assertTrue(stack and stack[-1] == (name, int(depth)), "%s in %s\n%s" % (event, events, diagnostics))
            stack.pop()
    test.assertEqual([], stack, diagnostics)


class NestingTest(unittest.TestCase):

    def site(self):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(POINTS, SCRIPTS, {"qx.slow_function_threshold": 0})
        return site

    def test_fiber_calls_end_when_it_suspends_and_begin_again_when_it_resumes(self):
        site = self.site()
        expected = {
            "/fiber.php": ("done", ["S A 3", "S F 4", "E F 4", "E A 3", "S C 3", "E C 3",
                                    "S B 3", "S F 4", "E F 4", "E B 3"]),
            "/fiber_meanwhile.php": ("2\n", ["S fm_driver 3", "S fm_worker 4", "E fm_worker 4",
                                             "S fm_other 4", "E fm_other 4",
                                             "S fm_worker 4", "E fm_worker 4", "E fm_driver 3"]),
            # Destroyed while suspended, once its caller has ended, then by
            # its caller: its unwinding runs inside the code that destroys it.
            "/fiber_abandoned.php": ("done", ["S fa_start 3", "S fa_work 4", "E fa_work 4", "E fa_start 3",
                                              "S fa_start 3", "S fa_work 4", "E fa_work 4",
                                              "S fa_after 5", "E fa_after 5", "E fa_start 3"]),
        }
        for path, (output, events) in expected.items():
            _, body, block = site.block_for(path)
            self.assertEqual(output, body)
            assert_well_nested(self, sequence(block), site.diagnostics())
            self.assertEqual(events, sequence(block), site.diagnostics())

    def test_fiber_calls_of_listed_builtins_end_when_it_suspends(self):
        # Only built-ins listed: the switches are seen all the same.
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start("[m]\nmethod=array_map\nlayer=App\n[r]\nmethod=strrev\nlayer=App\n",
                   {"builtins.php": """<?php
$f = new Fiber(function () { return array_map(function ($v) { Fiber::suspend(); return $v; }, [1]); });
$f->start();
echo strrev('ab');
$f->resume();
"""}, {"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/builtins.php")
        self.assertEqual("ba", body)
        events = sequence(block)
        assert_well_nested(self, events, site.diagnostics())
        self.assertEqual(["S array_map", "E array_map", "S strrev", "E strrev", "S array_map", "E array_map"],
                         [e.rsplit(" ", 1)[0] for e in events], site.diagnostics())

    def test_calls_that_exit_leaves_end_before_the_destructors_it_runs(self):
        site = self.site()
        _, body, block = site.block_for("/exit_destructor.php")
        self.assertEqual("dtor\n", body)
        assert_well_nested(self, sequence(block), site.diagnostics())
        self.assertEqual(["S exitmin_outer 3", "S exitmin_inner 4", "E exitmin_inner 4",
                          "S ExitMinDtor::__destruct 4", "E ExitMinDtor::__destruct 4", "E exitmin_outer 3"],
                         sequence(block), site.diagnostics())

    def test_calls_that_exit_leaves_end_before_the_internal_call_they_ran_in(self):
        site = self.site()
        _, body, block = site.block_for("/exit_callback.php")
        self.assertEqual("cb\n", body)
        self.assertEqual(["S exitmap 3", "S array_map 4", "S exitcb 5", "E exitcb 5", "E array_map 4", "E exitmap 3"],
                         sequence(block), site.diagnostics())

    def test_calls_that_exit_leaves_end_before_the_caller_that_catches_it(self):
        # A destructor that throws while exit() unwinds turns the exit into
        # an exception, which the caller catches: its finally blocks run.
        site = self.site()
        _, body, block = site.block_for("/exit_caught.php")
        self.assertEqual("caught\n", body)
        self.assertEqual(["S exitcaught_outer 3", "S exitcaught_inner 4",
                          "E exitcaught_inner 4", "E exitcaught_outer 3"], sequence(block), site.diagnostics())

    def test_callbacks_nest_inside_the_internal_call(self):
        site = self.site()
        _, body, block = site.block_for("/callbacks.php")
        self.assertEqual("2,4,6", body)
        self.assertEqual(["S A 3", "S usort 4", "E usort 4", "S array_map 4",
                          "S cb 5", "E cb 5", "S cb 5", "E cb 5", "S cb 5", "E cb 5",
                          "E array_map 4", "E A 3"], sequence(block), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
