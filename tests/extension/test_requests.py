"""Collected requests reach the stand-in aggregator: the handshake with the
registration texts, then one block per request with its opening and closing
events, locations and new symbols; with one worker and with several."""

import concurrent.futures
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

ITEM = """<?php
http_response_code(isset($_GET['missing']) ? 404 : 201);
echo 'item ', $_GET['id'] ?? '-';
"""

ROOT_EVENTS = ["httpFragmentStartEvent", "methodStartEvent", "methodEndEvent",
               "fragmentAttributeEvent", "fragmentAttributeEvent", "httpFragmentEndEvent"]


class RequestsTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.write_script("shop/item.php", ITEM)
        self.site.write_script("plain.php", "<?php echo 'plain';")
        self.site.write_url_regex("/shop/[a-z]+\\.php=/shop/{page}\n")
        self.site.start_aggregator()
        self.site.write_block(registered=1, probe_name="ShopProbe", host="web1.example.org",
                              component="ShopProbe.1765000000")

    def fail_with(self, message):
        self.fail(message + "\n" + self.site.diagnostics())

    def check_request_block(self, block, status, query, collapsed, method="GET"):
        """The opening and closing events of one request, their depths, ids,
        times and the texts their tokens stand for."""
        diag = "\n".join(str(e) for e in block.events)
        self.assertEqual(ROOT_EVENTS, block.types(), diag)
        start, root_start, root_end, status_attr, query_attr, end = block.events
        self.assertEqual(1, start["depth"])
        self.assertEqual(2, root_start["depth"])
        self.assertEqual(2, root_end["depth"])
        self.assertEqual(1, end["depth"])
        self.assertEqual(0, root_end["flags"])
        self.assertEqual(root_start["eventInstance"], root_end["startEventInstanceId"])
        fragment_loc = start["locationId"]
        root_loc = root_start["locationId"]
        self.assertNotEqual(fragment_loc, root_loc)
        for e in (status_attr, query_attr, end):
            self.assertEqual(fragment_loc, e["locationId"], diag)
        self.assertEqual(root_loc, root_end["locationId"])
        self.assertEqual(start["timeInMicroseconds"], root_start["timeInMicroseconds"])
        self.assertEqual(end["timeInMicroseconds"], root_end["timeInMicroseconds"])
        self.assertLessEqual(start["timeInMicroseconds"], end["timeInMicroseconds"])
        self.assertEqual(start["threadId"], end["threadId"])
        self.assertEqual(("HTTP_status_code", str(status)), (status_attr["name"], status_attr["value"]))
        self.assertEqual(("HTTP_query", query), (query_attr["name"], query_attr["value"]))
        self.assertEqual(status, end["httpStatusCode"])
        self.assertEqual(collapsed, block.text(start["uriToken"]))
        self.assertEqual(collapsed, block.text(end["uriToken"]))
        self.assertEqual("DIAG_ARG:type=http", start["diagArg"])
        self.assertEqual("127.0.0.1", start["remoteConsumerId"])
        # Both locations travel with the block: method, layer and layer type.
        for loc_id in (fragment_loc, root_loc):
            loc = block.location(loc_id)
            self.assertIsNotNone(loc, "location %d missing" % loc_id)
            self.assertEqual(method, block.text(loc["calleeMethodNameToken"]))
            self.assertEqual("", block.text(loc["calleeClassNameToken"]))
            self.assertEqual("Web Tier", block.text(loc["layerToken"]))
            self.assertEqual("method", block.text(loc["layerTypeId"]))
            self.assertEqual(0, loc["callerLineNumber"])

    def test_one_request_gives_the_handshake_and_one_block(self):
        self.site.start_server()
        status, body, _ = self.site.request("/shop/item.php?id=7")
        self.assertEqual((201, "item 7"), (status, body))
        blocks = self.site.wait_blocks(1)
        if len(blocks) != 1:
            self.fail_with("expected one block")
        hs = self.site.handshakes()
        self.assertEqual(1, len(hs))
        self.assertEqual("ShopProbe", hs[0]["probeName"])
        self.assertEqual("ShopProbe.1765000000", hs[0]["probeOID"])
        self.assertEqual("web1.example.org", hs[0]["hostname"])
        self.assertEqual(2, hs[0]["probeType"])
        self.check_request_block(blocks[0], 201, "id=7", "/shop/{page}")
        # The collapsed path is a new symbol of this block, from the counted range.
        token = blocks[0].events[0]["uriToken"]
        self.assertGreaterEqual(token, 1001)
        self.assertEqual("/shop/{page}", blocks[0].symbols.get(token))
        log = self.site.read_log()
        self.assertIn("Current URL is: http://127.0.0.1:%d/shop/item.php?id=7" % self.site.server_port, log)
        self.assertIn("Reporting 'ZHttpFragmentStartEvent' event. URL is: /shop/item.php . collapsed path: /shop/{page}", log)
        self.assertIn("Successfully handshaked with PA", log)

    def test_collected_request_logs_its_steps_in_order_and_at_their_levels(self):
        self.site.start_server()
        self.site.request("/plain.php")
        if len(self.site.wait_blocks(1)) != 1:
            self.fail_with("expected one block")
        self.assertTrue(self.site.wait_log("Collected HTTP End Event"), self.site.diagnostics())
        steps = ["[DBG2] PHP Rinit Called",
                 "[DBG1] QuilletExtension::requestInit called",
                 "[DBG2] Extension is enabled",
                 "[DBG1] Registration is OK, enabling collection",
                 "[DBG2] Reporting 'ZHttpFragmentStartEvent' event. URL is: /plain.php . collapsed path: /plain.php",
                 "[DBG2] Collected HTTP Start Event",
                 "[DBG1] Successfully handshaked with PA",
                 "[DBG2] Rshutdown is called",
                 "[DBG2] Creating HTTP End Event",
                 "[DBG2] Request URL is: /plain.php . collapsed path: /plain.php",
                 "[DBG2] Collected HTTP End Event"]
        lines = self.site.read_log().splitlines()
        found = []
        for step in steps:
            at = [i for i, line in enumerate(lines) if line.endswith(step)]
            self.assertTrue(at, "missing %r\n%s" % (step, self.site.diagnostics()))
            found.append(at[-1])
        self.assertEqual(sorted(found), found, "steps out of order\n" + "\n".join(lines))

    def test_status_query_method_and_a_second_request_on_the_same_connection(self):
        self.site.start_server()
        self.assertEqual(404, self.site.request("/shop/item.php?missing=1&id=9")[0])
        self.assertEqual(200, self.site.request("/plain.php")[0])
        self.assertEqual(201, self.site.request("/shop/item.php", method="POST", data=b"a=1")[0])
        blocks = self.site.wait_blocks(3)
        if len(blocks) != 3:
            self.fail_with("expected three blocks")
        self.check_request_block(blocks[0], 404, "missing=1&id=9", "/shop/{page}")
        self.check_request_block(blocks[1], 200, "", "/plain.php")
        self.check_request_block(blocks[2], 201, "", "/shop/{page}", method="POST")
        # One connection, one handshake; a known path is not announced again.
        self.assertEqual(1, len(self.site.handshakes()))
        self.assertEqual({blocks[0].connection}, {b.connection for b in blocks})
        self.assertNotIn("/shop/{page}", blocks[2].symbols.values())
        self.assertIn("No need for handshake - already done", self.site.read_log())
        # Instance ids keep growing across the requests of a worker.
        ids = [b.events[1]["eventInstance"] for b in blocks]
        self.assertEqual(sorted(ids), ids)
        self.assertEqual(len(set(ids)), 3)

    def test_correlation_header_makes_a_remote_fragment(self):
        self.site.start_server()
        token = "!not-a-token-we-can-decode"
        status, _, _ = self.site.request("/shop/item.php?id=1",
                                         headers={"X-Kolvane-Diag-HTTP-Color": token})
        self.assertEqual(201, status)
        blocks = self.site.wait_blocks(1)
        if len(blocks) != 1:
            self.fail_with("expected one block")
        types = blocks[0].types()
        self.assertEqual(["remoteFragmentStartEvent", "methodStartEvent", "methodEndEvent",
                          "fragmentAttributeEvent", "fragmentAttributeEvent", "remoteFragmentEndEvent"], types)
        start, end = blocks[0].events[0], blocks[0].events[-1]
        self.assertEqual(token, start["correlationToken"])
        self.assertEqual("DIAG_ARG:type=http", start["diagArg"])
        self.assertEqual("/shop/{page}", blocks[0].text(start["uriToken"]))
        self.assertEqual(201, end["httpStatusCode"])
        self.assertEqual(end["timeInMicroseconds"], end["adjustedEndTime"])
        log = self.site.read_log()
        self.assertIn("CorrelationTokenIn: " + token, log)
        self.assertIn("[WARNING] Cannot decode the incoming correlation token:", log)
        self.assertIn("Reporting 'ZRemoteFragmentStartEvent' event.", log)

    def test_unique_uri_limit_stops_collection(self):
        self.site.start_server(overrides={"qx.max_uris": "0"})
        self.site.request("/plain.php")          # table empty: collected, registers its path
        self.site.request("/shop/item.php?id=2")  # table holds one path: over the limit
        self.assertTrue(self.site.wait_log("Rshutdown is called", count=2), self.site.diagnostics())
        self.assertTrue(self.site.wait_log("Number of unique URIs exceeded the maximum allowed"),
                        self.site.diagnostics())
        blocks = self.site.wait_blocks(1)
        self.assertEqual(1, len(blocks))
        self.assertEqual("/plain.php", blocks[0].text(blocks[0].events[0]["uriToken"]))

    def test_missing_install_folder_still_collects_without_url_table(self):
        absent = os.path.join(self.site.root, "absent")
        self.site.start_server(overrides={"qx.install_dir": absent})
        for i in range(2):
            self.assertEqual(201, self.site.request("/shop/item.php?id=%d" % i)[0])
        blocks = self.site.wait_blocks(2)
        if len(blocks) != 2:
            self.fail_with("expected two blocks")
        # No URL rules and no URL table: the path is its own collapsed path.
        self.check_request_block(blocks[0], 201, "id=0", "/shop/item.php")
        self.assertFalse(os.path.exists(absent))

    def test_fatal_error_and_exit_still_close_the_transaction(self):
        self.site.write_script("fatal.php", "<?php no_such_function();")
        self.site.write_script("bye.php", "<?php http_response_code(410); exit('bye');")
        # Errors not shown, so the engine can still answer 500.
        self.site.start_server(overrides={"display_errors": "0"})
        status, _, _ = self.site.request("/fatal.php")
        self.assertEqual(500, status)
        self.assertEqual((410, "bye"), self.site.request("/bye.php")[:2])
        blocks = self.site.wait_blocks(2)
        if len(blocks) != 2:
            self.fail_with("expected two blocks")
        self.check_request_block(blocks[0], 500, "", "/fatal.php")
        self.check_request_block(blocks[1], 410, "", "/bye.php")

    def test_null_channel_sends_nothing(self):
        self.site.start_server(overrides={"qx.use_event_channel_null": "1"})
        self.assertEqual(201, self.site.request("/shop/item.php?id=3")[0])
        self.assertTrue(self.site.wait_log("Collected HTTP End Event"), self.site.diagnostics())
        self.assertEqual([], self.site.blocks())
        self.assertEqual([], self.site.handshakes())

    def test_aggregator_going_away_is_logged_and_pages_keep_working(self):
        self.site.start_server()
        self.assertEqual(201, self.site.request("/shop/item.php?id=1")[0])
        self.assertEqual(1, len(self.site.wait_blocks(1)))
        self.site.aggregator.stop()
        for i in range(4):
            self.assertEqual(201, self.site.request("/shop/item.php?id=%d" % i)[0])
        self.assertTrue(self.site.wait_log("Rshutdown is called", count=5), self.site.diagnostics())
        log = self.site.read_log()
        # A send into the closed connection fails; later requests cannot handshake.
        self.assertIn("[ERROR] Failed to report events:", log)
        self.assertIn("[ERROR] Failed to handshake with PA!", log)

    def test_aggregator_coming_back_gets_the_next_requests_with_every_symbol(self):
        self.site.start_server()
        self.assertEqual(201, self.site.request("/shop/item.php?id=1")[0])
        first = self.site.wait_blocks(1)
        self.assertEqual(1, len(first))
        port = self.site.aggregator.port
        self.site.aggregator.stop()
        # A send or handshake fails while it is away; the pages do not notice.
        self.assertEqual(201, self.site.request("/shop/item.php?id=2")[0])
        self.assertEqual(200, self.site.request("/plain.php")[0])
        self.site.aggregator.start(port=port)
        self.assertEqual(201, self.site.request("/shop/item.php?id=3")[0])
        blocks = self.site.wait_blocks(2)
        if len(blocks) < 2:
            self.fail_with("no block after the aggregator came back")
        last = blocks[-1]
        self.assertNotEqual(first[0].connection, last.connection)
        self.check_request_block(last, 201, "id=3", "/shop/{page}")
        # A new connection learns the whole table: the path announced on the
        # first connection is announced again with the same token.
        token = last.events[0]["uriToken"]
        self.assertEqual(first[0].events[0]["uriToken"], token)
        self.assertEqual("/shop/{page}", last.symbols.get(token))
        self.assertEqual(2, len(self.site.handshakes()))
        # The end of the failures is logged too.
        self.assertIn(" recovered after ", "\n".join(self.site.log_lines("[SYSTEM]")), self.site.diagnostics())

    def test_several_workers_each_send_their_own_blocks(self):
        workers = 3
        # Requests that take a while, so that concurrent ones spread over the workers.
        self.site.write_script("shop/slow.php", "<?php usleep(40000); http_response_code(201); echo 'item ', $_GET['id'];")
        self.site.start_server(workers=workers)
        count = 24

        def one(i):
            return self.site.request("/shop/slow.php?id=%d" % i)[:2]

        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            results = list(pool.map(one, range(count)))
        self.assertEqual([(201, "item %d" % i) for i in range(count)], results)
        blocks = self.site.wait_blocks(count, timeout=30)
        if len(blocks) != count:
            self.fail_with("expected %d blocks, got %d" % (count, len(blocks)))
        queries = sorted(b.attribute("HTTP_query") for b in blocks)
        self.assertEqual(sorted("id=%d" % i for i in range(count)), queries)
        for b in blocks:
            self.check_request_block(b, 201, b.attribute("HTTP_query"), "/shop/{page}")
        # One connection and one handshake per process that served (the
        # built-in server's parent serves beside its workers).
        pids = {b.events[0]["threadId"] for b in blocks}
        connections = {b.connection for b in blocks}
        self.assertLessEqual(len(pids), workers + 1, pids)
        self.assertGreater(len(pids), 1, "the requests should spread over the workers")
        self.assertEqual(len(pids), len(connections))
        self.assertEqual(len(connections), len(self.site.handshakes()))
        # Within one worker, instance ids are unique; location ids too.
        for pid in pids:
            mine = [b for b in blocks if b.events[0]["threadId"] == pid]
            inst = [b.events[1]["eventInstance"] for b in mine]
            self.assertEqual(len(inst), len(set(inst)))
            locs = [b.events[0]["locationId"] for b in mine]
            self.assertEqual(len(locs), len(set(locs)))


if __name__ == "__main__":
    qxharness.run_tests()
