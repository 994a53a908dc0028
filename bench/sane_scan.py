#!/usr/bin/env python3
"""A 10-page colour A4 300 dpi feeder job from SANE's test backend, through
the host (SANE data source, JPEG quality 80, page files), against
`scanimage --batch --format=jpeg` writing the same pages, in the same run.
Also the host's peak RSS for one page and for ten (it must not grow with the
page count).

usage: sane_scan.py BIN_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_job import one_answer, time_shares  # noqa: E402

A4 = ["-l", "0", "-t", "0", "-x", "210", "-y", "297"]


def host_job(bin_dir, env, tmp, feeder, must_succeed=True):
    out = tempfile.mkdtemp(prefix="host-pages-", dir=tmp)
    host = subprocess.Popen([os.path.join(bin_dir, "lumra-scan-host")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    request = {"messageId": "bench", "command": "scannerProcessingFiles", "scannerId": 3,
               "workingDirectory": out,
               "settings": {"dpi": 300, "color": "color", "feeder": feeder,
                            "format": {"type": "jpg", "quality": 80}}}
    answer, elapsed, rss = one_answer(host, request)
    pages = len(os.listdir(out)) if os.path.isdir(out) else 0
    log = os.path.join(tmp, "lumra-%d" % os.geteuid(), "LumraImageScanning.log")
    encode, source, _ = time_shares(log)
    os.remove(log)
    if must_succeed and answer.get("status", {}).get("result") != "success":
        raise RuntimeError("host: %s" % answer.get("status"))
    return elapsed, pages, rss, encode, source


def main():
    bin_dir = sys.argv[1]
    scanimage = shutil.which("scanimage")
    if not os.path.exists(os.path.join(bin_dir, "twain", "sane", "sane.ds")) or not scanimage:
        print("sane_scan: built without SANE, skipped")
        return
    tmp = tempfile.mkdtemp(prefix="lumra-bench-sane-")
    conf = os.path.join(tmp, "sane")
    os.mkdir(conf)
    with open(os.path.join(conf, "dll.conf"), "w") as f:
        f.write("test\n")
    with open(os.path.join(conf, "test.conf"), "w") as f:
        f.write("number_of_devices 1\ngeometry_max 300.0\n")
    env = dict(os.environ, TMPDIR=tmp, SANE_CONFIG_DIR=conf,
               LUMRA_SANE_OPTIONS="test-picture=Color pattern;br-x=210;br-y=297")
    for name in ("LUMRA_VIRTUAL_JOURNAL", "LUMRA_VIRTUAL_SCENARIO", "LUMRA_TWAIN_SOURCES",
                 "LUMRA_SANE_JOURNAL", "XDG_RUNTIME_DIR"):
        env.pop(name, None)
    try:
        _, one_page, rss_one, _, _ = host_job(bin_dir, env, tmp, False)
        # A jam at the sixth sheet: a job of five pages.
        jam = dict(env, LUMRA_SANE_OPTIONS=env["LUMRA_SANE_OPTIONS"] +
                   ";read-return-value=SANE_STATUS_JAMMED@6")
        _, three, rss_three, _, _ = host_job(bin_dir, jam, tmp, True, must_succeed=False)
        host_s, pages, rss_ten, encode, source = host_job(bin_dir, env, tmp, True)
        batch = os.path.join(tmp, "scanimage")
        os.mkdir(batch)
        start = time.perf_counter()
        subprocess.run([scanimage, "-d", "test:0", "--source", "Automatic Document Feeder",
                        "--mode", "Color", "--depth", "8", "--resolution", "300",
                        "--test-picture", "Color pattern"] + A4 +
                       ["--format=jpeg", "--batch=" + os.path.join(batch, "p%d.jpg")],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        scan_s = time.perf_counter() - start
        scan_pages = len(os.listdir(batch))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("sane_scan: host %d pages in %.2f s (%.2f s/page), scanimage %d pages in %.2f s: "
          "ratio %.2f (goal 1.2); host peak RSS %.0f MiB for %d page, %.0f MiB for %d, "
          "%.0f MiB for %d" % (pages, host_s, host_s / max(pages, 1), scan_pages, scan_s,
                               host_s / scan_s, rss_one, one_page, rss_three, three, rss_ten, pages))
    print("  in the host: saveDIB (bitmap to JPEG file) %.2f s, waiting in the source's "
          "transfer %.2f s" % (encode, source))


if __name__ == "__main__":
    main()
