#!/usr/bin/env python3
"""Figures of the browser path (browser/bench/transport.js): a 20-page colour A4 300 dpi JPEG
job through headless Chromium and the sample extension, against the host alone.
Usage: browser_transport.py BIN_DIR. Skipped when Chromium or playwright-core is missing
(browser/test.sh installs both)."""
import os
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "bin"))
browser = os.path.join(root, "browser")
if not os.path.exists("/usr/bin/chromium") or not os.path.exists(
        os.path.join(browser, "node_modules", "playwright-core", "package.json")):
    print("browser_transport: skipped (run browser/test.sh once to install Chromium and playwright-core)")
    sys.exit(0)
env = dict(os.environ, LUMRA_HOST_BIN=os.path.join(bin_dir, "lumra-scan-host"))
runs = os.environ.get("LUMRA_BENCH_RUNS", "3")
script = os.path.join(browser, "bench", "transport.js")
status = subprocess.call(["node", script, runs, "20"], env=env)
# What the browser alone costs for the split series' bytes.
sys.exit(status or subprocess.call(["node", script, runs, "20"], env=dict(env, LUMRA_BENCH_MODES="floor")))
