"""Listed calls cut short by a fatal error (time-out, memory limit,
E_USER_ERROR) end as failures carrying the error, never as successes."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = "".join("[%s]\nmethod=%s\nlayer=App\n" % (n, n) for n in ("outer", "inner", "str_repeat", "fine", "array_map"))

SCRIPTS = {
    "timeout.php": """<?php
set_time_limit(1);
function inner() { $x = 0; while (true) { $x++; } }
function outer() { inner(); }
outer();
""",
    "memory.php": """<?php
ini_set('memory_limit', '16M');
function inner() { $a = []; while (true) { $a[] = str_repeat('m', 1 << 20); } }
function outer() { inner(); }
outer();
""",
    "memory_callback.php": """<?php
ini_set('memory_limit', '16M');
function inner() { $a = []; while (true) { $a[] = str_repeat('m', 1 << 20); } }
function outer() { array_map(function () { inner(); }, [1]); }
outer();
""",
    "user_error.php": """<?php
function inner() { trigger_error('gave up', E_USER_ERROR); }
function outer() { inner(); }
outer();
""",
    "handled.php": """<?php
set_error_handler(function () { return true; });
function inner() { trigger_error('handled', E_USER_ERROR); return 'on'; }
function outer() { return inner(); }
echo outer();
""",
    "fine.php": "<?php function fine() { return 'fine'; } echo fine();",
    "forged.php": """<?php
function inner() { trigger_error("gave up\\n[ERROR] forged", E_USER_ERROR); }
function outer() { inner(); }
outer();
""",
}


class FatalErrorTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = InstrumentedSite()
        cls.site.start(POINTS, SCRIPTS, {"qx.slow_function_threshold": 0})

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def cut_short(self, path, error_type, message):
        site = self.site
        _, body, block = site.block_for(path, timeout=30)
        self.assertIn(message, body)
        calls = [c for c in block.calls() if c["name"] in ("outer", "inner")]
        self.assertEqual([("outer", 3), ("inner", 4)], [(c["name"], c["depth"]) for c in calls], site.diagnostics())
        for call in calls:
            self.assertEqual((33, error_type), (call["flags"], call["type"]), site.diagnostics())
            self.assertIn(message, call["message"])
        self.assertIn("%s(" % path.strip("/"), calls[1]["trace"])
        _, body, block = site.block_for("/fine.php")
        self.assertEqual([("fine", 0)], [(c["name"], c["flags"]) for c in block.calls()])

    def test_time_out(self):
        self.cut_short("/timeout.php", "E_ERROR", "Maximum execution time")

    def test_memory_limit(self):
        self.cut_short("/memory.php", "E_ERROR", "Allowed memory size")

    def test_memory_limit_inside_a_listed_internal_function(self):
        # The memory limit unwinds the script as an exit, through the
        # internal function the error was raised in.
        _, body, block = self.site.block_for("/memory_callback.php", timeout=30)
        self.assertIn("Allowed memory size", body)
        calls = [(c["name"], c["depth"], c["flags"], c["type"]) for c in block.calls() if c["name"] != "str_repeat"]
        self.assertEqual([("outer", 3, 33, "E_ERROR"), ("array_map", 4, 33, "E_ERROR"), ("inner", 6, 33, "E_ERROR")],
                         calls, self.site.diagnostics())

    def test_user_error(self):
        self.cut_short("/user_error.php", "E_USER_ERROR", "gave up")

    def test_error_message_cannot_forge_a_log_line(self):
        self.site.block_for("/forged.php", timeout=30)
        self.assertTrue(self.site.wait_log("Calls cut short by a fatal error:"), self.site.diagnostics())
        log = self.site.read_log()
        self.assertIn("gave up\\n[ERROR] forged", log)
        self.assertNotIn("\n[ERROR] forged", log)

    def test_user_error_handled_by_the_script_is_no_failure(self):
        _, body, block = self.site.block_for("/handled.php")
        self.assertEqual("on", body)
        self.assertEqual([("outer", 0), ("inner", 0)], [(c["name"], c["flags"]) for c in block.calls()])


if __name__ == "__main__":
    qxharness.run_tests()
