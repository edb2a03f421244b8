"""The services that the database and HTTP handlers use of the
instrumentation engine, checked inside a real `php -S` through a test-only
module (qx_instrumentation_services_test): argument access, depth and limits,
calling a method with the script's exception set aside, backtraces and
exception details, running a saved handler, the cross-VM decision and the
request facts."""

import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

SCRIPT = r"""<?php
class Probe {
    public function hello() { return 'hi'; }
    public function boom() { throw new LogicException('from the method'); }
    public function number() { return 42; }
}
function trace5($n) { if ($n > 1) { return trace5($n - 1); } return new RuntimeException('deep'); }
function inner() { return qx_test_depth(); }
function outer() { return [qx_test_depth(), inner(), array_map(fn($x) => qx_test_depth(), [1])[0]]; }

$out = [];
$out['args'] = qx_test_args('a', 'b', 'c', 'd');
$out['noargs'] = qx_test_args();
$out['depth'] = [qx_test_depth(), outer()];
$out['limit'] = [
    qx_test_limit(3, 3, 100),   // captured 3 of limit 3: not reached
    qx_test_limit(4, 3, 100),   // over the call limit
    qx_test_limit(0, 100, 2),   // depth 2 (main script) within 2
    qx_test_limit(0, 100, 1),   // depth 2 over 1
];
$p = new Probe();
qx_test_call($p, 'Hello');
$out['call'] = qx_test_last();
qx_test_call($p, 'boom');
$out['call_throwing'] = qx_test_last();
qx_test_call($p, 'missing');
$out['call_missing'] = qx_test_last();
qx_test_call('not an object', 'hello');
$out['call_not_object'] = qx_test_last();
try { qx_test_call($p, 'boom', true); $out['pending'] = 'nothing thrown'; }
catch (Exception $e) { $out['pending'] = get_class($e) . ':' . $e->getMessage() . ':' . $e->getCode() . ':' . qx_test_last(); }
try { qx_test_call($p, 'number', true); } catch (Exception $e) { $out['pending_result'] = qx_test_last(); }

$e = trace5(5);
$out['trace2'] = qx_test_backtrace($e, 2);
$out['trace0'] = qx_test_backtrace($e, 0);
$out['trace_all_lines'] = substr_count(qx_test_backtrace($e, 100), "\r\n\t");
try { qx_test_details(new InvalidArgumentException(str_repeat('x', 12)), 10, 1); }
catch (InvalidArgumentException $x) { $out['details'] = qx_test_last(); }
try { qx_test_details(new DomainException(''), 4, 1); }
catch (DomainException $x) { $out['details_empty'] = qx_test_last(); }
try { qx_test_saved(); $out['saved'] = 'returned'; } catch (Error $x) { $out['saved'] = $x->getMessage(); }
$out['crossvm'] = qx_test_crossvm();
$out['info'] = qx_test_request_info('probe.1700000000');
echo json_encode($out);
"""

FATAL_SCRIPT = r"""<?php
class Stopper {
    public function stop() { trigger_error('stopping', E_USER_ERROR); }
    public function after() { echo 'SECOND-RAN'; return 1; }
}
register_shutdown_function(function () { echo '|last:', qx_test_last(); });
qx_test_call_after_fatal(new Stopper(), 'stop', 'after');
echo 'NOT-REACHED';
"""


class InstrumentationServicesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.site = qxharness.QuilletSite()
        cls.module = os.path.join(cls.site.build_dir, "tests", "extension", "qx_instrumentation_services_test.so")
        cls.site.write_script("services.php", SCRIPT)
        cls.site.write_script("fatal.php", FATAL_SCRIPT)
        port = qxharness.free_port()
        cmd = [cls.site.php, "-n", "-d", "extension=" + cls.module, "-S", "127.0.0.1:%d" % port,
               "-t", cls.site.docroot]
        cls.out = open(os.path.join(cls.site.root, "server.out"), "w+")
        cls.server = subprocess.Popen(cmd, stdout=cls.out, stderr=subprocess.STDOUT,
                                      start_new_session=True, cwd=cls.site.root)
        cls.site.server_port = port
        if not qxharness.wait_for_port(port, qxharness.DEFAULT_TIMEOUT, cls.server):
            cls.tearDownClass()
            raise RuntimeError("php -S with the test module did not start")

    @classmethod
    def tearDownClass(cls):
        qxharness.stop_process(cls.server)
        cls.out.close()
        cls.site.close()

    def results(self, headers=None):
        status, body, _ = self.site.request("/services.php?x=1&y=2", headers=headers)
        self.assertEqual(200, status, body)
        try:
            return json.loads(body)
        except ValueError:
            self.fail(body)

    def test_arguments_of_the_internal_call(self):
        r = self.results()
        self.assertEqual([4, "a", "c", True, True], r["args"])
        self.assertEqual([0, None, None, True, True], r["noargs"])

    def test_depth_counts_user_code_on_the_stack(self):
        # Main script 2, a function it calls 3, one level deeper 4; the arrow
        # function called through array_map (an internal frame) is 4 as well.
        self.assertEqual([2, [3, 4, 4]], self.results()["depth"])

    def test_limit(self):
        self.assertEqual([False, True, False, True], self.results()["limit"])

    def test_calling_methods(self):
        r = self.results()
        self.assertEqual("result:hi|same-pending", r["call"])
        # The method's own exception is dropped: none is left behind.
        self.assertEqual("none|same-pending", r["call_throwing"])
        self.assertEqual("none|same-pending", r["call_missing"])
        self.assertEqual("none|same-pending", r["call_not_object"])
        # The script's pending exception is set aside and put back as it was.
        self.assertEqual("Exception:pending:7:none|same-pending", r["pending"])
        self.assertEqual("result:42|same-pending", r["pending_result"])

    def test_backtraces_and_exception_details(self):
        r = self.results()
        lines = r["trace2"].split("\r\n\t")
        self.assertEqual(3, len(lines), r["trace2"])
        self.assertRegex(lines[0], r"^#0 .*services\.php\(7\): trace5\(1\)$")
        self.assertRegex(lines[1], r"^#1 .*services\.php\(7\): trace5\(2\)$")
        self.assertEqual("", r["trace0"])
        self.assertEqual(6, r["trace_all_lines"])  # five frames and {main}
        details = r["details"].split("|")
        self.assertEqual(["InvalidArgumentException", "x" * 10 + "..."], details[:2])
        self.assertTrue(details[2].startswith("#0 {main}\r\n\t"), details[2])
        self.assertEqual("same-pending", details[-1])
        self.assertEqual(["DomainException", "Doma..."], r["details_empty"].split("|")[:2])

    def test_no_php_code_runs_once_the_script_is_being_abandoned(self):
        # A fatal error inside a called method: the call gives nothing, no
        # later call runs PHP code, and the engine still abandons the script.
        _, body, _ = self.site.request("/fatal.php")
        self.assertIn("stopping", body)
        self.assertNotIn("SECOND-RAN", body)
        self.assertNotIn("NOT-REACHED", body)
        self.assertIn("|last:none|bailout|second-none", body)

    def test_saved_handler_of_a_function_never_wrapped(self):
        self.assertEqual("Internal function is not available", self.results()["saved"])

    def test_cross_vm_decision_is_taken_once(self):
        # No URL table attached: every request is due for sampling (2 | 4).
        self.assertEqual([6, 6], self.results()["crossvm"])
        headers = {"X-Kolvane-Diag-HTTP-Color": "!token"}
        self.assertEqual([8, 8], self.results(headers)["crossvm"])

    def test_request_facts(self):
        info = self.results()["info"]
        self.assertEqual({"recent": True, "agent": "probe.1700000000", "method": "GET",
                          "path": "/services.php", "query": "?x=1&y=2",
                          "host": "127.0.0.1"}, info)


if __name__ == "__main__":
    qxharness.run_tests()
