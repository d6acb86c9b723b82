"""The TCP fallback on the fixed ports 443, 80 and 22 and with names that must not resolve,
run inside a private network namespace so that nothing it does leaves the machine."""

import os
import shutil
import subprocess
import unittest

BUILD_DIR = os.environ.get("HOSTVIGIL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
PROBE_TESTS = os.path.abspath(os.path.join(BUILD_DIR, "src/probe/probe_tests"))


def namespace_prefix():
    """The unshare call that gives a private network namespace here, or None."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return None
    for prefix in (["unshare", "-n"], ["unshare", "-r", "-n"]):
        try:
            if subprocess.run(prefix + ["true"], capture_output=True, timeout=30).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            pass
    return None


class IsolatedNetwork(unittest.TestCase):
    def test_probe_cases_in_a_private_namespace(self):
        if not os.access(PROBE_TESTS, os.X_OK):
            self.skipTest("probe_tests is not built")
        prefix = namespace_prefix()
        if prefix is None:
            self.skipTest("no private network namespace available")
        script = 'ip link set lo up && HV_ISOLATED_NETWORK=1 exec "$0" --gtest_filter="IsolatedNetwork.*"'
        result = subprocess.run(prefix + ["sh", "-c", script, PROBE_TESTS],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        out = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, out)
        self.assertNotIn("SKIPPED", out, out)
        self.assertIn("[  PASSED  ] 3 tests", out)


if __name__ == "__main__":
    unittest.main()
