"""Listed user functions, class methods and internal functions inside a real
`php -S`: which calls a request's block reports, at which depth, within which
limits."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = """
[slow]
method=slowFn
layer=App
[fast]
method=fastFn
layer=App
[parent]
method=fastParent
layer=App
[child]
method=failingChild
layer=App
[recurse]
method=recurse
layer=App
[thrower]
method=thrower
layer=App
[method]
class=Shop
method=checkout
layer=Shop
[static]
class=Shop
method=price
layer=Shop
[suspends]
method=suspends
layer=App
[fiberParent]
method=fiberParent
layer=App
[usleep]
method=usleep
layer=PHP
[format]
class=DateTime
method=format
layer=PHP
"""

LIB = """<?php
function slowFn() { usleep(80000); return 'slow'; }
function fastFn() { return 'fast'; }
function failingChild() { throw new LogicException('child'); }
function fastParent() { try { failingChild(); } catch (LogicException $e) { return $e->getMessage(); } }
function recurse($n) { return $n <= 1 ? 1 : 1 + recurse($n - 1); }
function thrower($m) { throw new RuntimeException($m); }
class Shop {
    public function checkout() { usleep(60000); return 'paid'; }
    public static function price() { return 42; }
}
function unlisted() { return fastFn(); }
"""

SCRIPTS = {
    "lib.php": LIB,
    "slow_fast.php": "<?php require 'lib.php'; echo slowFn(), fastFn(), unlisted();",
    "nested.php": "<?php require 'lib.php'; echo fastParent();",
    "many.php": "<?php require 'lib.php'; for ($i = 0; $i < 6; $i++) fastFn(); echo 'ok';",
    "deep.php": "<?php require 'lib.php'; echo recurse(4);",
    "methods.php": "<?php require 'lib.php'; $s = new Shop(); echo $s->checkout(), Shop::price();",
    "thrower.php": "<?php require 'lib.php'; try { thrower('x'); } catch (Exception $e) { echo 'caught'; } echo slowFn();",
    "internal.php": """<?php
function inFunction() { usleep(1000); }
usleep(1000);
inFunction();
$d = new DateTime('2021-03-04');
echo $d->format('Y-m-d');
""",
    "fiber.php": """<?php
require 'lib.php';
function suspends() { return Fiber::suspend('suspended'); }
function fiberParent() { $f = new Fiber(function () { return suspends(); }); $v = $f->start(); fastFn(); return [$f, $v]; }
[$fiber, $value] = fiberParent();
fastFn();
echo $value;
""",
    "session_write.php": """<?php
require 'lib.php';
// The session's save handler runs when the session module shuts the request
// down, after the extension has closed the request's block.
class LateWriter extends SessionHandler {
    public function open($path, $name): bool { return true; }
    public function close(): bool { return true; }
    public function read($id): string|false { return ''; }
    public function write($id, $data): bool { slowFn(); fastFn(); return true; }
    public function destroy($id): bool { return true; }
    public function gc($max): int|false { return 0; }
}
session_set_save_handler(new LateWriter(), false);
session_start();
$_SESSION['n'] = 1;
echo 'saved';
""",
    "plain.php": "<?php echo 'plain';",
    "deep_internal.php": """<?php
function level3() { usleep(1000); }
function level2() { usleep(1000); level3(); }
usleep(1000);
level2();
echo 'ok';
""",
}


class InstrumentationTest(unittest.TestCase):

    def site(self, overrides=None, points=POINTS):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(points, SCRIPTS, overrides)
        return site

    def assertCalls(self, site, block, expected):
        got = [(c["name"], c["depth"]) for c in block.calls()]
        self.assertEqual(expected, got, site.diagnostics())

    def assertEveryCallEnded(self, site, block):
        for call in block.calls():
            self.assertIsNotNone(call["flags"], "%s has no end event\n%s" % (call, site.diagnostics()))
            self.assertEqual(call["depth"], call["end_depth"])
            self.assertGreaterEqual(call["end"], call["start"])
        for e in block.events:
            if e["location"] is not None:
                self.assertIn(e["location"], block.locations, site.diagnostics())

    # ---- Threshold -------------------------------------------------------------

    def test_slow_listed_calls_are_reported_fast_ones_are_not(self):
        site = self.site()
        status, body, block = site.block_for("/slow_fast.php")
        self.assertEqual(200, status)
        self.assertEqual("slowfastfast", body)
        # slowFn at depth 3 (main script 2); usleep listed but only 80 ms inside
        # slowFn: the internal call is slow too and nested one deeper.
        self.assertCalls(site, block, [("slowFn", 3), ("usleep", 4)])
        self.assertEveryCallEnded(site, block)
        slow = block.calls()[0]
        self.assertGreaterEqual(slow["end"] - slow["start"], 80000)
        self.assertEqual(0, slow["flags"])
        self.assertEqual("App", block.layer_of(slow["location"]))
        # A fast call leaves neither its events nor its location.
        self.assertEqual(2 + 2, len(block.locations), block.locations)

    def test_captured_child_of_a_fast_parent_stays_without_its_parent(self):
        # A parent lasts at least as long as its child, so the child is kept
        # here because it ended with an exception.
        site = self.site()
        _, body, block = site.block_for("/nested.php")
        self.assertEqual("child", body)
        self.assertCalls(site, block, [("failingChild", 4)])
        self.assertEqual(33, block.calls()[0]["flags"])
        self.assertEveryCallEnded(site, block)

    def test_threshold_zero_reports_every_listed_call(self):
        site = self.site({"qx.slow_function_threshold": 0})
        _, _, block = site.block_for("/slow_fast.php")
        self.assertCalls(site, block, [("slowFn", 3), ("usleep", 4), ("fastFn", 3), ("fastFn", 4)])
        self.assertEveryCallEnded(site, block)

    def test_negative_threshold_reports_only_calls_ending_with_an_exception(self):
        site = self.site({"qx.slow_function_threshold": -1})
        _, body, block = site.block_for("/thrower.php")
        self.assertEqual("caughtslow", body)
        self.assertCalls(site, block, [("thrower", 3)])
        self.assertEqual(33, block.calls()[0]["flags"])

    # ---- Limits ------------------------------------------------------------------

    def test_max_functions_n_captures_n_plus_one_calls(self):
        site = self.site({"qx.slow_function_threshold": 0, "qx.max_functions": 2})
        _, body, block = site.block_for("/many.php")
        self.assertEqual("ok", body)
        self.assertCalls(site, block, [("fastFn", 3)] * 3)
        self.assertEveryCallEnded(site, block)
        # The limit is per request: the next request captures again.
        _, _, again = site.block_for("/many.php")
        self.assertEqual(3, len(again.calls()))

    def test_depth_limit_for_user_functions(self):
        site = self.site({"qx.slow_function_threshold": 0, "qx.max_functions_depth": 4})
        _, body, block = site.block_for("/deep.php")
        self.assertEqual("4", body)
        self.assertCalls(site, block, [("recurse", 3), ("recurse", 4)])
        self.assertEveryCallEnded(site, block)

    def test_depth_limit_for_internal_functions(self):
        # An internal call is captured while the current depth is within the
        # limit; its events carry the current depth + 1.
        site = self.site({"qx.slow_function_threshold": 0, "qx.max_functions_depth": 3})
        _, body, block = site.block_for("/deep_internal.php")
        self.assertEqual("ok", body)
        self.assertCalls(site, block, [("usleep", 3), ("usleep", 4)])

    # ---- Methods and internal functions ------------------------------------

    def test_listed_class_methods(self):
        site = self.site({"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/methods.php")
        self.assertEqual("paid42", body)
        self.assertCalls(site, block, [("Shop::checkout", 3), ("usleep", 4), ("Shop::price", 3)])
        self.assertEqual("Shop", block.layer_of(block.calls()[0]["location"]))

    def test_listed_internal_function_and_method_of_an_internal_class(self):
        site = self.site({"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/internal.php")
        self.assertEqual("2021-03-04", body)
        self.assertCalls(site, block, [("usleep", 3), ("usleep", 4), ("DateTime::format", 3)])
        self.assertEveryCallEnded(site, block)
        self.assertEqual("PHP", block.layer_of(block.calls()[0]["location"]))
        self.assertIn("Wrapping function: usleep", site.read_log())
        self.assertIn("Wrapping function: datetime::format", site.read_log())

    def test_fast_internal_calls_are_not_reported(self):
        site = self.site({"qx.slow_function_threshold": 50})
        _, body, block = site.block_for("/internal.php")
        self.assertEqual("2021-03-04", body)
        self.assertEqual([], block.calls())

    def test_call_left_open_in_a_suspended_fiber_does_not_hide_its_caller(self):
        site = self.site({"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/fiber.php")
        self.assertEqual("suspended", body)
        names = block.names()
        self.assertEqual(["fiberParent", "suspends", "fastFn", "fastFn"], names, site.diagnostics())
        depths = [c["depth"] for c in block.calls()]
        self.assertEqual([3, 4, 3], [depths[0], depths[2], depths[3]])
        # The suspended call ends when the fiber is destroyed at the end of the script.
        self.assertEveryCallEnded(site, block)

    def test_calls_after_the_request_block_is_closed_reach_no_block(self):
        # Listed calls made by code that runs after the request's block was
        # sent belong to no block: they must not open the next request's.
        site = self.site({"qx.slow_function_threshold": 0})
        _, body, first = site.block_for("/session_write.php")
        self.assertEqual("saved", body)
        self.assertEqual([], first.calls(), site.diagnostics())
        _, body, second = site.block_for("/plain.php")
        self.assertEqual("plain", body)
        self.assertEqual("httpFragmentStartEvent", second.events[0]["kind"], site.diagnostics())
        self.assertEqual([], second.calls(), site.diagnostics())
        self.assertEveryCallEnded(site, second)

    def test_uncollected_request_runs_listed_functions_normally(self):
        site = self.site({"qx.slow_function_threshold": 0})
        site.set_registered(0)
        status, body, _ = site.request("/methods.php")
        self.assertEqual((200, "paid42"), (status, body))
        self.assertTrue(site.wait_log("Quillet is disabled"))

    def test_functions_the_probe_calls_itself_are_not_the_applications(self):
        # A failed connect makes the probe read mysqli_connect_error(); with
        # that function listed too, only the script's own call of it counts.
        points = "[c]\nmethod=mysqli_connect\nlayer=DB\n[e]\nmethod=mysqli_connect_error\nlayer=DB\n"
        script = ("<?php mysqli_report(MYSQLI_REPORT_OFF);"
                  "var_dump(@mysqli_connect('127.0.0.1', 'u', 'p', 'd', %d)); echo is_string(mysqli_connect_error());"
                  % qxharness.free_port())
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(points, {"refused.php": script}, {"qx.slow_function_threshold": 0, "qx.sql_mode": 1},
                   modules=("mysqlnd", "mysqli"))
        status, body, block = site.block_for("/refused.php")
        self.assertEqual((200, "bool(false)\n1"), (status, body), site.diagnostics())
        self.assertEqual(["mysqli_connect", "mysqli_connect_error"], block.names(), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
