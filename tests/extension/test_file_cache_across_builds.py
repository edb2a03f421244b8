"""Opcache's file cache outlives a build: the library carries the digest of
the rewriter's sources as they are, and a build whose digest differs keeps
its compiled code apart from the code another build rewrote."""

import hashlib
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

# The sources whose digest goes into the system id, as the build reads them.
REWRITER_SOURCES = ("ListedFunctionRewriter.cpp", "ListedFunctionRewriter.h")
TAG = re.compile(rb"listed-function-rewrite/([0-9a-f]{64})")

SCRIPTS = {"checked.php": "<?php\nuse function assert as check;\n"
                          "function listed($n) { return $n + 1; }\n"
                          "try { check(listed(1) === 3); } catch (AssertionError $e) { echo $e->getMessage(); }\n"}


def rewriter_digest(source_dir):
    folder = os.path.join(source_dir, "extension", "instrumentation")
    lines = ""
    for name in REWRITER_SOURCES:
        with open(os.path.join(folder, name), "rb") as f:
            lines += "%s=%s\n" % (name, hashlib.sha256(f.read()).hexdigest())
    return hashlib.sha256(lines.encode()).hexdigest()


class FileCacheAcrossBuildsTest(unittest.TestCase):

    def test_builds_of_other_rewriter_sources_share_no_cached_code(self):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        with open(site.extension, "rb") as f:
            library = f.read()
        tags = TAG.findall(library)
        self.assertEqual([rewriter_digest(site.source_dir).encode()], tags)

        # Another build: the same library with another digest.
        other = bytearray(library)
        at = TAG.search(library).start(1)
        other[at] = ord("0") if other[at] != ord("0") else ord("1")
        other_path = os.path.join(site.root, "Other.so")
        with open(other_path, "wb") as f:
            f.write(other)

        cache = os.path.join(site.root, "opcache")
        os.makedirs(cache)
        settings = {"qx.slow_function_threshold": 0, "zend.assertions": 1, "zend_extension": "opcache",
                    "opcache.enable": 1, "opcache.file_cache": cache, "opcache.file_cache_only": 1,
                    "opcache.file_update_protection": 0}
        site.start("[p]\nmethod=listed\nlayer=App\n", SCRIPTS, settings)
        ids = set()
        for build in (site.extension, other_path, site.extension):
            if build != site.extension:
                site.stop_server()
                site.extension = build
                site.start_server(overrides=settings)
            _, body, block = site.block_for("/checked.php")
            self.assertEqual("assert(listed(1) === 3)", body, site.diagnostics())
            self.assertEqual(["listed"], block.names(), site.diagnostics())
            ids.update(os.listdir(cache))
        self.assertEqual(2, len(ids), ids)
        for system_id in ids:
            files = [f for _, _, names in os.walk(os.path.join(cache, system_id)) for f in names]
            self.assertEqual(["checked.php.bin"], files)


if __name__ == "__main__":
    qxharness.run_tests()
