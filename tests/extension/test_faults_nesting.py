"""Calls nest in a request's block as they ran: calls that a fiber leaves
open do not swallow later unrelated calls, and the callbacks an internal
function makes come inside it, one level deeper."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = "".join("[%s]\nmethod=%s\nlayer=App\n" % (n, n) for n in ("F", "A", "B", "C", "cb", "array_map", "usort"))

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


class NestingTest(unittest.TestCase):

    def site(self):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(POINTS, SCRIPTS, {"qx.slow_function_threshold": 0})
        return site

    def test_fiber_calls_keep_their_order(self):
        site = self.site()
        _, body, block = site.block_for("/fiber.php")
        self.assertEqual("done", body)
        self.assertEqual(["S A 3", "S F 4", "E A 3", "S C 3", "E C 3", "S B 3", "E F 4", "E B 3"],
                         sequence(block), site.diagnostics())

    def test_callbacks_nest_inside_the_internal_call(self):
        site = self.site()
        _, body, block = site.block_for("/callbacks.php")
        self.assertEqual("2,4,6", body)
        self.assertEqual(["S A 3", "S usort 4", "E usort 4", "S array_map 4",
                          "S cb 5", "E cb 5", "S cb 5", "E cb 5", "S cb 5", "E cb 5",
                          "E array_map 4", "E A 3"], sequence(block), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
