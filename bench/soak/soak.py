#!/usr/bin/env python3
"""Soak and fault matrix for the real host (long; not part of ./run test).

Soak: N mixed requests through one host (lists, scans of small pages from
the virtual scanner in both transfer modes, page files then removeFiles,
split series of files and of scans, malformed frames). Every request must
get one JSON answer with a status; prints peak RSS after 10% and 100% of
the requests, open descriptors at start and end, and global-memory blocks
left at exit (the host logs them).

Matrix: every fail.STEP and return.STEP of the virtual scanner crossed with
both transfer modes, one host each: every request answered, the pages the
answer lists kept on disk, no block left, the host alive after the job, and
no state violation in the source's journal.

    python3 bench/soak/soak.py build/bin [--requests N] [--soak-only | --matrix-only]
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

SMALL_PAGES = "width = 64\nheight = 48\nready_delay = 0\n"
LEAK_RECORD = "Global memory blocks alive at exit"


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


class Host:
    """One host with a private temp folder, a scenario and a journal."""

    def __init__(self, bin_dir: str, scenario: str):
        self.tmp = tempfile.mkdtemp(prefix="lumra-soak-")
        self.journal = os.path.join(self.tmp, "journal.txt")
        scenario_path = os.path.join(self.tmp, "scenario.txt")
        with open(scenario_path, "w") as f:
            f.write(scenario)
        env = dict(os.environ, TMPDIR=self.tmp, LUMRA_VIRTUAL_SCENARIO=scenario_path,
                   LUMRA_VIRTUAL_JOURNAL=self.journal,
                   SANE_CONFIG_DIR=os.path.join(self.tmp, "no-sane"))
        for name in ("XDG_RUNTIME_DIR", "LUMRA_TWAIN_SOURCES"):
            env.pop(name, None)
        self.stderr = open(os.path.join(self.tmp, "stderr.txt"), "wb")
        self.proc = subprocess.Popen([os.path.join(bin_dir, "lumra-scan-host")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr, env=env, bufsize=0)

    def read_exact(self, n: int) -> bytes:
        data = bytearray()
        while len(data) < n:
            chunk = self.proc.stdout.read(n - len(data))
            if not chunk:
                raise EOFError("the host closed its output")
            data += chunk
        return bytes(data)

    def send(self, body: bytes) -> dict:
        """One request, its one answer (parsed, with a status)."""
        self.proc.stdin.write(frame(body))
        (n,) = struct.unpack("<I", self.read_exact(4))
        answer = json.loads(self.read_exact(n).decode("utf-8"))
        if not isinstance(answer, dict) or "status" not in answer:
            raise ValueError(f"answer without status: {answer!r:.200}")
        return answer

    def request(self, **fields) -> dict:
        return self.send(json.dumps(fields).encode())

    def series(self, **fields) -> tuple:
        """A split series to its last slice: (the full answer, requests sent)."""
        text, sent = "", 0
        while True:
            answer = self.request(**fields)
            sent += 1
            text += answer["split"]["part"]
            if answer["split"]["last"]:
                return json.loads(text), sent

    def status(self, key: str) -> int:
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return -1

    def fds(self) -> int:
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def finish(self) -> int:
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        code = self.proc.wait(timeout=120)
        if rest:
            raise ValueError(f"{len(rest)} bytes after the last answer")
        return code

    def log(self) -> str:
        try:
            # The host keeps its log in its private folder under TMPDIR.
            path = os.path.join(self.tmp, "lumra-%d" % os.geteuid(), "LumraImageScanning.log")
            with open(path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def violations(self) -> list:
        try:
            with open(self.journal, encoding="utf-8", errors="replace") as f:
                return [line for line in f if line.startswith("VIOLATION")]
        except OSError:
            return []

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stderr.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


MALFORMED = [b"{", b"[1,2]", b"\xff\xfe", b'{"messageId":"x"}', b'{"messageId":"x","command":"bogus"}',
             b'"text"', b'{"messageId":"\\ud800"}']


def soak(bin_dir: str, total: int) -> bool:
    host = Host(bin_dir, SMALL_PAGES + "[source]\nid = 1\n[source]\nid = 2\ntwain2 = no\n")
    files_dir = os.path.join(host.tmp, "files")
    os.mkdir(files_dir)
    missed = {}  # what went wrong, and how often

    def check(what: str, good: bool):
        if not good:
            missed[what] = missed.get(what, 0) + 1

    sent = 0
    figures = {}
    start = time.perf_counter()

    def page_files(count: int, size: int) -> list:
        paths = []
        for i in range(count):
            path = os.path.join(files_dir, f"page_{i}.jpg")
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            paths.append({"fileName": path})
        return paths

    step = 0
    checkpoint = max(total // 10, 1)
    try:
        while sent < total:
            kind = step % 12
            step += 1
            mid = f"m{step}"
            if kind in (0, 6):
                host.request(messageId=mid, command="scannersList", isDsm2=kind == 0)
                sent += 1
            elif kind in (1, 7):  # callback, then event loop
                a = host.request(messageId=mid, command="scannerProcessing", isDsm2=kind == 1,
                                 scannerId=1 if kind == 1 else 2)
                check("a scan of one page", a["status"].get("result") == "success" and len(a.get("pages", [])) == 1)
                sent += 1
            elif kind == 2:
                a = host.request(messageId=mid, command="scannerProcessingFiles",
                                 workingDirectory=files_dir, settings={"feeder": True})
                check("three page files", len(a.get("files", [])) == 3)
                b = host.request(messageId=mid, command="removeFiles", files=a.get("files", []))
                check("removeFiles", b["status"].get("result") == "success")
                sent += 2
            elif kind == 3:
                full, n = host.series(messageId=mid, command="filesSplitProcessing",
                                      files=page_files(3, 300_000))
                check("a series of three files", len(full.get("pages", [])) == 3)
                sent += n
            elif kind == 4:
                full, n = host.series(messageId=mid, command="scannerSplitProcessing")
                check("a scan series", len(full.get("pages", [])) == 1)
                sent += n
            else:
                a = host.send(MALFORMED[step % len(MALFORMED)])
                check("malformed answered as an error", a["status"].get("result") == "error")
                sent += 1
            if "fds_start" not in figures:  # once the host has opened its log and lock
                figures["fds_start"] = host.fds()
            if sent >= checkpoint and "rss_10" not in figures:
                figures["rss_10"] = host.status("VmHWM")
                figures["at_10"] = sent
        figures["rss_100"] = host.status("VmHWM")
        figures["fds_end"] = host.fds()
        figures["seconds"] = time.perf_counter() - start
        code = host.finish()
        log = host.log()
        leaked = LEAK_RECORD in log
        check("exit 0", code == 0)
        check("no block left", not leaked)
        growth = figures["rss_100"] / max(figures["rss_10"], 1) - 1
        check("RSS flat within 10%", growth <= 0.10)
        check("descriptors as at start", figures["fds_end"] == figures["fds_start"])
        ok = not missed
        print(f"soak: {sent} requests in {figures['seconds']:.0f} s, exit {code}; "
              f"peak RSS {figures['rss_10'] / 1024:.1f} MB at {figures['at_10']} requests, "
              f"{figures['rss_100'] / 1024:.1f} MB at {sent} ({growth * 100:+.1f}%); "
              f"open descriptors {figures['fds_start']} at start, {figures['fds_end']} at end; "
              f"global-memory blocks at exit: {'some (see log)' if leaked else 0}; "
              f"journal violations: {len(host.violations())}; {'OK' if ok else f'FAILED: {missed}'}")
        return ok
    except Exception as error:  # noqa: BLE001 - report and fail
        print(f"soak: FAILED after {sent} requests: {error}")
        return False
    finally:
        host.close()


STEPS = ["opends", "closeds", "enableds", "disableds", "processevent", "reset", "capability",
         "xfer.0", "xfer.1", "xfer.2", "xfer.*", "endxfer.0", "endxfer.1", "endxfer.2", "endxfer.*"]
SCRIPTS = [f"fail.{s} = BUMMER" for s in STEPS] + [f"return.{s} = {rc}" for s in STEPS
                                                      for rc in ("FAILURE", "CANCEL", "77")]


def matrix(bin_dir: str) -> bool:
    failures = []
    runs = 0
    for script in SCRIPTS:
        for mode, fields in (("callback", {"scannerId": 1}), ("loop", {"scannerId": 1, "isDsm2": False})):
            runs += 1
            host = Host(bin_dir, SMALL_PAGES + "pages = 3\n" + script + "\n")
            try:
                pages = os.path.join(host.tmp, "pages") + "/"
                a = host.request(messageId="j", command="scannerProcessingFiles", workingDirectory=pages,
                                 settings={"feeder": True, "timeout": 3000}, **fields)
                listed = [f["fileName"] for f in a.get("files", [])]
                kept = all(os.path.getsize(p) > 0 for p in listed)
                after = host.request(messageId="l", command="scannersList",
                                     **({"isDsm2": False} if "isDsm2" in fields else {}))
                alive = after["status"].get("result") == "success"
                code = host.finish()
                problems = []
                if not kept:
                    problems.append("a listed page is missing")
                if not alive:
                    problems.append("the list after the job failed")
                if code != 0:
                    problems.append(f"exit {code}")
                if LEAK_RECORD in host.log():
                    problems.append("global-memory blocks left")
                if host.violations():
                    problems.append(f"{len(host.violations())} violations: {host.violations()[0].strip()}")
                if problems:
                    failures.append(f"{script} / {mode}: {', '.join(problems)}")
                print(f"  {script:32s} {mode:8s} {a['status'].get('result'):7s} "
                      f"{len(listed)} pages {a['status'].get('description', '')!r}"
                      f"{'  <- ' + ', '.join(problems) if problems else ''}")
            except Exception as error:  # noqa: BLE001 - a dead or silent host is a failure
                failures.append(f"{script} / {mode}: {error}")
                print(f"  {script:32s} {mode:8s} FAILED: {error}")
            finally:
                host.close()
    print(f"matrix: {runs} runs, {len(failures)} failed")
    for failure in failures:
        print("  " + failure)
    return not failures


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir", nargs="?", default="build/bin")
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--soak-only", action="store_true")
    parser.add_argument("--matrix-only", action="store_true")
    args = parser.parse_args()
    ok = True
    if not args.soak_only:
        ok &= matrix(args.bin_dir)
    if not args.matrix_only:
        ok &= soak(args.bin_dir, args.requests)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
