"""Wrapping of listed internal functions at start-up: log lines, entries that
resolve to the same function, a class that is not loaded, constructors."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

SCRIPTS = {
    "sleep.php": "<?php usleep(1000); echo 'slept';",
    "ctor.php": "<?php $a = new ArrayObject([1, 2]); echo count($a);",
}


class WrappingTest(unittest.TestCase):

    def site(self, points):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(points, SCRIPTS, {"qx.slow_function_threshold": 0})
        return site

    def test_second_entry_for_the_same_function_finds_it_hooked(self):
        site = self.site("[a]\nmethod=usleep\nlayer=L1\n[b]\nmethod=USleep\nlayer=L2\n")
        _, body, block = site.block_for("/sleep.php")
        self.assertEqual("slept", body)
        log = site.read_log()
        self.assertIn("Wrapping function: usleep", log)
        self.assertIn("Function: usleep already hooked", log)
        self.assertEqual(1, log.count("Wrapping function:"))
        self.assertEqual([("usleep", 3)], [(c["name"], c["depth"]) for c in block.calls()])
        self.assertEqual("L1", block.layer_of(block.calls()[0]["location"]))

    def test_class_not_loaded_leaves_the_global_function_alone(self):
        # A class unknown at start-up is a user class; its method is no
        # global function.
        site = self.site("[b]\nclass=NoSuchClassHere\nmethod=usleep\nlayer=L2\n")
        _, body, block = site.block_for("/sleep.php")
        self.assertEqual("slept", body)
        self.assertNotIn("Wrapping function", site.read_log())
        self.assertEqual([], block.calls())

    def test_wrapped_constructor_runs_when_objects_are_created(self):
        site = self.site("[c]\nclass=ArrayObject\nmethod=__construct\nlayer=SPL\n")
        _, body, block = site.block_for("/ctor.php")
        self.assertEqual("2", body)
        self.assertEqual(["ArrayObject::__construct"], block.names(), site.diagnostics())

    def test_unknown_function_is_skipped_silently(self):
        site = self.site("[x]\nmethod=no_such_function_anywhere\nlayer=X\n[u]\nmethod=usleep\nlayer=U\n")
        _, body, block = site.block_for("/sleep.php")
        self.assertEqual("slept", body)
        self.assertNotIn("no_such_function_anywhere", site.read_log())
        self.assertEqual(["usleep"], block.names())


if __name__ == "__main__":
    qxharness.run_tests()
