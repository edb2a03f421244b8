"""php-cgi compiles the URL rules at every request, php-fpm and mod_php when
they start: a rule that glibc's compiler never finishes compiling held the
request, or the server's start, for good. It is refused, with the reason,
and the request is served."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


class UrlRuleCostTest(unittest.TestCase):

    def test_rule_that_never_compiles_is_refused_and_the_request_served(self):
        site = qxharness.QuilletSite(log_level=4)
        self.addCleanup(site.close)
        site.write_script("index.php", "<?php echo 'served';")
        costly = "a??" * 40 + "(x?)*"
        site.write_url_regex(costly + "=/x\n/user/[0-9]+=/user/{id}\n")

        # Well below the harness's default: a hang shows as a time-out.
        proc = site.run_cgi("index.php", timeout=8)
        self.assertEqual(0, proc.returncode, proc.stderr)
        self.assertTrue(proc.stdout.endswith(b"served"), proc.stdout)
        refused = "[WARNING] URL rule refused: %s . Compiling it takes more than 25 ms" % costly
        self.assertEqual(1, site.read_log().count(refused), site.read_log())


if __name__ == "__main__":
    qxharness.run_tests()
