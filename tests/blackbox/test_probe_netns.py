"""The probes against firewalls, silent hosts, duplicated replies and a DNS server that never
answers, all played inside a private network and mount namespace (unshare, nftables) so that
nothing leaves the machine. The cases themselves are in netns_inside.py."""

import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def namespace_prefix():
    """The unshare call that gives a private network and mount namespace here, or None."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return None
    for prefix in (["unshare", "-n", "-m"], ["unshare", "-r", "-n", "-m"]):
        try:
            if subprocess.run(prefix + ["true"], capture_output=True, timeout=30).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            pass
    return None


class IsolatedNetwork(unittest.TestCase):
    def test_probe_cases_in_a_private_namespace(self):
        prefix = namespace_prefix()
        if prefix is None:
            self.skipTest("no private network namespace available (unshare, ip)")
        if shutil.which("nft") is None:
            self.skipTest("nft is not installed (package nftables)")
        env = dict(os.environ, HV_IN_NAMESPACE="1")
        result = subprocess.run(prefix + [sys.executable, "-m", "unittest", "-v", "netns_inside"],
                                cwd=HERE, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=300)
        out = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, out)
        self.assertNotIn("skipped", out, out)


if __name__ == "__main__":
    unittest.main()
