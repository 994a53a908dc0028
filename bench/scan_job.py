#!/usr/bin/env python3
"""A 50-page feeder job from the virtual scanner, colour A4 at 300 dpi, through
the host: as "scannerProcessing" with JPEG at quality 80, and as
"scannerSplitProcessing" (same pages, fetched slice by slice); with a FORMAT,
one "scannerProcessing" job in that format.

Prints pages per second end to end, the host's peak RSS, and where the time
went, read from the host's own log: saving the pages (bitmap to JPEG file:
the encoder), the virtual scanner making its bitmaps, and the rest (manager,
answer building, Base64, JSON, pipe).

usage: scan_job.py BIN_DIR [PAGES] [FORMAT]
"""
import datetime
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

RECORD = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \w+ +\[\d+\] \[([^@\]]+)@\d+\] (.*)$")


def frame(obj):
    body = json.dumps(obj, separators=(",", ":")).encode()
    return struct.pack("<I", len(body)) + body


def read_frame(stream):
    head = stream.read(4)
    if len(head) != 4:
        raise RuntimeError("the host ended")
    (n,) = struct.unpack("<I", head)
    body = stream.read(n)
    if len(body) != n:
        raise RuntimeError("short answer")
    return body


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def time_shares(log_path):
    """Seconds in saveDIB, in the source's MSG_GET, and in the whole scan job
    (first to last record of the engine), from the host's log records."""
    records = []
    with open(log_path, encoding="utf-8-sig", errors="replace") as f:
        for line in f:
            m = RECORD.match(line.rstrip("\n"))
            if m:
                t = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
                records.append((t.timestamp(), m.group(2), m.group(3)))
    encode = source = 0.0
    job_start = job_end = None
    for i, (t, func, text) in enumerate(records):
        if text.startswith("Save dib to ") and i + 1 < len(records):
            encode += records[i + 1][0] - t
        if text.endswith("DAT = 260, MSG = 1") and i + 1 < len(records):
            source += records[i + 1][0] - t
        if text == "Start scanning...":
            job_start = t
        if text == "releaseScanning success..." and job_start is not None and job_end is None:
            job_end = t
    job = (job_end - job_start) if job_start is not None and job_end is not None else 0.0
    return encode, source, job


def virtual_host(bin_dir, pages):
    """A host in a temp folder of its own whose virtual scanner has `pages`
    pages ready at once; (the process, the folder)."""
    tmp = tempfile.mkdtemp(prefix="lumra-bench-")
    scenario = os.path.join(tmp, "scenario.txt")
    with open(scenario, "w") as f:
        f.write("pages = %d\nready = enable\n" % pages)
    # SANE finds no device (a config folder that does not exist): no probing.
    env = dict(os.environ, TMPDIR=tmp, LUMRA_VIRTUAL_SCENARIO=scenario,
               SANE_CONFIG_DIR=os.path.join(tmp, "no-sane"))
    for name in ("LUMRA_VIRTUAL_JOURNAL", "LUMRA_TWAIN_SOURCES", "XDG_RUNTIME_DIR"):
        env.pop(name, None)
    host = subprocess.Popen([os.path.join(bin_dir, "lumra-scan-host")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    return host, tmp


def one_answer(host, request):
    """Sends `request` and ends the host; (its parsed answer, seconds until it
    came, the host's peak RSS in MiB)."""
    start = time.perf_counter()
    host.stdin.write(frame(request))
    host.stdin.flush()
    answer = json.loads(read_frame(host.stdout))
    elapsed = time.perf_counter() - start
    rss = peak_rss_mib(host.pid)
    host.stdin.close()
    host.wait(timeout=60)
    return answer, elapsed, rss


def run(bin_dir, command, pages, fmt="jpg"):
    host, tmp = virtual_host(bin_dir, pages)
    request = {"messageId": "bench", "command": command,
               "settings": {"dpi": 300, "color": "color", "feeder": True,
                            "format": {"type": fmt, "quality": 80}}}
    start = time.perf_counter()
    host.stdin.write(frame(request))
    host.stdin.flush()
    answers = [read_frame(host.stdout)]
    if command == "scannerSplitProcessing":
        # The client must look at each slice to know whether another follows.
        while not json.loads(answers[-1])["split"]["last"]:
            host.stdin.write(frame({"messageId": "bench", "command": command}))
            host.stdin.flush()
            answers.append(read_frame(host.stdout))
    elapsed = time.perf_counter() - start
    answer_bytes = sum(len(a) for a in answers)
    slices = len(answers)
    if command == "scannerSplitProcessing":
        full = json.loads("".join(json.loads(a)["split"]["part"] for a in answers))
    else:
        full = json.loads(answers[0])
    rss = peak_rss_mib(host.pid)
    host.stdin.close()
    host.wait(timeout=60)

    status = full.get("status", {}).get("result")
    got = len(full.get("pages", []))
    encode, source, job = time_shares(os.path.join(tmp, "lumra-%d" % os.geteuid(), "LumraImageScanning.log"))
    shutil.rmtree(tmp, ignore_errors=True)
    if status != "success" or got != pages:
        raise RuntimeError("%s: status %s, %d pages" % (command, status, got))
    print("%s: %d pages in %.2f s = %.1f pages/s; %d answer%s, %.1f MB on the pipe; "
          "host peak RSS %.0f MiB" % (command, pages, elapsed, pages / elapsed, slices,
                                      "" if slices == 1 else "s", answer_bytes / 1e6, rss))
    print("  saveDIB (bitmap to %s file) %.2f s = %.0f%%; virtual scanner making pages %.2f s "
          "= %.0f%%; rest of the scan job %.2f s = %.0f%%; answer, Base64, pipe and client "
          "%.2f s = %.0f%%" % (fmt.upper(), encode, 100 * encode / elapsed, source, 100 * source / elapsed,
                               job - encode - source, 100 * (job - encode - source) / elapsed,
                               elapsed - job, 100 * (elapsed - job) / elapsed))
    print("  outside the encoder: %.0f%% of the time" % (100 * (1 - encode / elapsed)))


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    raw = 2480 * 3508 * 3
    print("== scan job: %d colour A4 pages at 300 dpi (%.1f MB raw each, %.0f MB in all)"
          % (pages, raw / 1e6, pages * raw / 1e6))
    if len(sys.argv) > 3:
        run(bin_dir, "scannerProcessing", pages, sys.argv[3])
        return 0
    for command in ("scannerProcessing", "scannerSplitProcessing"):
        run(bin_dir, command, pages)
    return 0


if __name__ == "__main__":
    sys.exit(main())
