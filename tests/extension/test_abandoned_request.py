"""A request that the engine abandons inside listed calls (fatal error,
time-out): the calls still open are closed or dropped, so the block never
carries a start event without its end or an event whose location it lacks,
and the worker goes on serving and collecting."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = """
[outer]
method=outer
layer=App
[dies]
method=dies
layer=App
[spins]
method=spins
layer=App
[fine]
method=fine
layer=App
"""

SCRIPTS = {
    "fatal.php": """<?php
function dies() { echo 'before'; undefined_function_here(); }
function outer() { dies(); }
outer();
""",
    "timeout.php": """<?php
set_time_limit(1);
function spins() { $x = 0; while (true) { $x++; } }
function outer() { spins(); }
outer();
""",
    "fine.php": "<?php function fine() { return 'fine'; } echo fine();",
}


class AbandonedRequestTest(unittest.TestCase):

    def site(self):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(POINTS, SCRIPTS, {"qx.slow_function_threshold": 0})
        return site

    def assertConsistent(self, site, block):
        ended = {e["start"] for e in block.events if e["kind"] == "end"}
        for e in block.events:
            if e["kind"] == "start":
                self.assertIn(e["instance"], ended, "start without end\n" + site.diagnostics())
            if e["location"] is not None:
                self.assertIn(e["location"], block.locations, site.diagnostics())

    def assertWorkerStillCollects(self, site):
        status, body, block = site.block_for("/fine.php")
        self.assertEqual((200, "fine"), (status, body))
        self.assertEqual([("fine", 3)], [(c["name"], c["depth"]) for c in block.calls()], site.diagnostics())

    def test_fatal_error_inside_listed_calls(self):
        site = self.site()
        status, body, block = site.block_for("/fatal.php")
        self.assertIn("before", body)
        self.assertIn("undefined_function_here", body)
        self.assertConsistent(site, block)
        self.assertWorkerStillCollects(site)

    def test_time_out_inside_listed_calls(self):
        site = self.site()
        status, body, block = site.block_for("/timeout.php", timeout=30)
        self.assertIn("Maximum execution time", body)
        self.assertConsistent(site, block)
        self.assertWorkerStillCollects(site)


if __name__ == "__main__":
    qxharness.run_tests()
