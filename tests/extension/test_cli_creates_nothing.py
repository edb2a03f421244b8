"""A command-line run of PHP (a cron job as root) collects nothing. It must
create no file the web workers need: a log it created as root could not be
opened by workers of another user, which then collected nothing. It says
nothing on standard error, and does not compile the URL rules, which only
requests use."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

# A rule that a run loading the rules refuses, with a warning.
COSTLY_RULES = "\\<user=/x\n/user/[0-9]+=/user/{id}\n"


class CliCreatesNothingTest(unittest.TestCase):

    def test_cli_run_creates_no_log_says_nothing_and_compiles_no_rule(self):
        site = qxharness.QuilletSite(log_level=4)
        self.addCleanup(site.close)
        site.write_url_regex(COSTLY_RULES)
        tmp = os.path.join(site.install_dir, "tmp")

        proc = site.run_php("echo 'cli';")
        self.assertEqual(("cli", ""), (proc.stdout, proc.stderr))
        self.assertFalse(os.path.exists(site.log_file), "the CLI run created the log")
        self.assertEqual([], os.listdir(tmp))

        # It writes to a log that is there: one that read the rules would say so.
        open(site.log_file, "w").close()
        proc = site.run_php("echo 'cli';")
        self.assertEqual(("cli", ""), (proc.stdout, proc.stderr))
        self.assertIn("Installation dir:", site.read_log())
        self.assertNotIn("URL r", site.read_log(), "the CLI run compiled the URL rules")

        # A log that cannot be opened, or a bad setting, is no message either.
        for overrides in ({"qx.log_file": os.path.join(site.root, "no", "ext.log")}, {"qx.install_dir": ""}):
            proc = site.run_php("echo 'cli';", overrides=overrides)
            self.assertEqual(("cli", ""), (proc.stdout, proc.stderr), overrides)


if __name__ == "__main__":
    qxharness.run_tests()
