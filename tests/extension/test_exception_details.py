"""Exception details of listed calls inside a real `php -S`: class name,
message cut, backtrace lines, one report per exception object, the
per-request limit, and exit() that is no exception. The script's own
exception handling is never disturbed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = """
[thrower]
method=thrower
layer=App
[middle]
method=middle
layer=App
[outer]
method=outer
layer=App
[quiet]
method=quiet
layer=App
[leaver]
method=leaver
layer=App
[usleep]
method=usleep
layer=PHP
"""

LIB = r"""<?php
class CustomFailure extends LogicException {}
function a5($m) { throw new CustomFailure($m); }
function a4($m) { a5($m); }
function a3($m) { a4($m); }
function a2($m) { a3($m); }
function thrower($m) { a2($m); }
function middle($m) { try { thrower($m); } catch (CustomFailure $e) { throw $e; } }
function outer($m) { middle($m); }
function quiet() { throw new RuntimeException(''); }
function leaver() { echo 'bye'; exit(); }
"""

LONG = "m" * 30 + "-tail-that-is-cut"

SCRIPTS = {
    "lib.php": LIB,
    "once.php": """<?php require 'lib.php';
try { thrower('%s'); } catch (CustomFailure $e) { echo get_class($e), ':', $e->getMessage(), ':', $e->getLine(); }
""" % LONG,
    "rethrow.php": """<?php require 'lib.php';
try { outer('again'); } catch (Exception $e) { echo 'caught ', $e->getMessage(); }
""",
    "many.php": """<?php require 'lib.php';
for ($i = 1; $i <= 4; $i++) { try { thrower("e$i"); } catch (Exception $e) { echo $e->getMessage(); } }
""",
    "empty.php": """<?php require 'lib.php';
try { quiet(); } catch (Exception $e) { echo 'empty:', $e->getMessage(), '.'; }
""",
    "uncaught_internal.php": """<?php
try { usleep(-5); } catch (ValueError $e) { echo 'value error'; }
""",
    "exit.php": "<?php require 'lib.php'; leaver(); echo 'not reached';",
}


class ExceptionDetailsTest(unittest.TestCase):

    def site(self, overrides=None):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_function_threshold": 1000, "qx.exception_max_message_length": 30,
                    "qx.exception_max_frames": 2}
        settings.update(overrides or {})
        site.start(POINTS, SCRIPTS, settings)
        return site

    def test_thrown_and_caught_exception_is_reported_with_cut_message_and_trace(self):
        site = self.site()
        status, body, block = site.block_for("/once.php")
        self.assertEqual(200, status)
        # The script sees its exception exactly as thrown.
        self.assertEqual("CustomFailure:%s:3" % LONG, body)
        calls = block.calls()
        self.assertEqual(["thrower"], [c["name"] for c in calls], site.diagnostics())
        call = calls[0]
        self.assertEqual(33, call["flags"])
        self.assertEqual("CustomFailure", call["type"])
        self.assertEqual("m" * 30 + "...", call["message"])
        lines = call["trace"].split("\r\n\t")
        self.assertEqual(3, len(lines), repr(call["trace"]))
        self.assertEqual("", lines[2])
        self.assertRegex(lines[0], r"^#0 .*lib\.php\(4\): a5\('m+\.\.\.'\)$")
        self.assertRegex(lines[1], r"^#1 .*lib\.php\(5\): a4\(")
        self.assertIn("Function ended with exception:", site.read_log())

    def test_message_of_exactly_the_limit_is_whole(self):
        site = self.site({"qx.exception_max_message_length": len(LONG)})
        _, _, block = site.block_for("/once.php")
        self.assertEqual(LONG, block.calls()[0]["message"])

    def test_rethrown_exception_is_reported_once_on_the_innermost_call(self):
        site = self.site()
        _, body, block = site.block_for("/rethrow.php")
        self.assertEqual("caught again", body)
        calls = block.calls()
        self.assertEqual([("outer", 3), ("middle", 4), ("thrower", 5)],
                         [(c["name"], c["depth"]) for c in calls], site.diagnostics())
        self.assertEqual([0, 0, 33], [c["flags"] for c in calls])
        self.assertEqual("again", calls[2]["message"])

    def test_per_request_exception_limit(self):
        site = self.site({"qx.max_exceptions": 2})
        _, body, block = site.block_for("/many.php")
        self.assertEqual("e1e2e3e4", body)
        calls = block.calls()
        # Every call ended with an exception, so all are captured; details only
        # for the first two exception objects.
        self.assertEqual([33, 33, 0, 0], [c["flags"] for c in calls], site.diagnostics())
        self.assertEqual(["e1", "e2"], [c["message"] for c in calls[:2]])
        self.assertEqual(2, site.read_log().count("Discarding exception: too many exception"))
        # The set of reported exceptions is per request.
        _, _, again = site.block_for("/many.php")
        self.assertEqual([33, 33, 0, 0], [c["flags"] for c in again.calls()])

    def test_no_exception_details_with_a_limit_of_zero(self):
        site = self.site({"qx.max_exceptions": 0})
        _, _, block = site.block_for("/once.php")
        self.assertEqual([0], [c["flags"] for c in block.calls()])

    def test_exception_without_message_reports_its_class_name(self):
        site = self.site({"qx.exception_max_message_length": 5})
        _, body, block = site.block_for("/empty.php")
        self.assertEqual("empty:.", body)
        call = block.calls()[0]
        self.assertEqual(("RuntimeException", "Runti..."), (call["type"], call["message"]))
        self.assertIn("Exception has no message, using the message type", site.read_log())

    def test_slow_internal_call_raising_an_exception_has_no_details(self):
        site = self.site({"qx.slow_function_threshold": 0})
        _, body, block = site.block_for("/uncaught_internal.php")
        self.assertEqual("value error", body)
        self.assertEqual([("usleep", 0)], [(c["name"], c["flags"]) for c in block.calls()])

    def test_exit_is_not_reported_as_an_exception(self):
        site = self.site({"qx.slow_function_threshold": 0})
        status, body, block = site.block_for("/exit.php")
        self.assertEqual((200, "bye"), (status, body))
        self.assertEqual([("leaver", 0)], [(c["name"], c["flags"]) for c in block.calls()], site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
