"""Listed built-ins that opcache's optimiser evaluates while it compiles a
file (constant arguments) are not calls of the request: the request that
compiles reports what the one running the cached code reports."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

SCRIPTS = {"fold.php": '<?php function mine() { return 1; }\n'
                       'mine(); var_dump(str_contains("abc", "b"), in_array(2, [1, 2, 3]));'}
POINTS = "".join("[%s]\nmethod=%s\nlayer=App\n" % (name, name) for name in ("mine", "str_contains", "in_array"))
OUTPUT = "bool(true)\nbool(true)\n"
OPCACHE = {"zend_extension": "opcache", "opcache.enable": 1,
           # The script was just written; opcache skips files younger than this.
           "opcache.file_update_protection": 0}


class CompileTimeCallsTest(unittest.TestCase):

    def names_of_two_requests(self, settings):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(POINTS, SCRIPTS, dict(settings, **{"qx.slow_function_threshold": 0}))
        names = []
        for _ in range(2):
            _, body, block = site.block_for("/fold.php")
            self.assertEqual(OUTPUT, body, site.diagnostics())
            names.append(block.names())
        return names, site

    def test_calls_the_optimiser_folds_are_not_reported(self):
        names, site = self.names_of_two_requests(OPCACHE)
        self.assertEqual([["mine"], ["mine"]], names, site.diagnostics())

    def test_without_opcache_the_script_makes_the_calls(self):
        names, site = self.names_of_two_requests({})
        self.assertEqual([["mine", "str_contains", "in_array"]] * 2, names, site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
