#!/usr/bin/env python3
"""A filesSplitProcessing series through the real host's pipes.

Makes N page files of 2.5 MB, asks the host for them as one split series and
fetches every slice, the way a browser does. Prints MB of page files per
second, the host's peak RSS beside the full answer's size, and the time for
twice the files to show that a series costs time linear in its size.

    python3 bench/split_series.py build/bin
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

PAGE_BYTES = 2_500_000


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


def read_exact(stream, n: int) -> bytes:
    data = bytearray()
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            raise EOFError("host closed its output")
        data += chunk
    return bytes(data)


def read_frame(stream) -> bytes:
    (n,) = struct.unpack("<I", read_exact(stream, 4))
    return read_exact(stream, n)


def peak_rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_series(host: str, files: int) -> dict:
    tmp = tempfile.mkdtemp(prefix="lumra-bench-")
    try:
        paths = []
        for i in range(files):
            path = os.path.join(tmp, f"page_{i}.jpg")
            with open(path, "wb") as f:
                f.write(os.urandom(PAGE_BYTES))
            paths.append(path)
        env = dict(os.environ, TMPDIR=tmp)
        env.pop("XDG_RUNTIME_DIR", None)
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=env, bufsize=0)
        first = json.dumps({"messageId": "bench", "command": "filesSplitProcessing",
                            "files": [{"fileName": p} for p in paths]}).encode()
        nxt = json.dumps({"messageId": "bench", "command": "filesSplitProcessing"}).encode()
        full_bytes = 0
        frames = 0
        largest = 0
        start = time.perf_counter()
        body = first
        while True:
            proc.stdin.write(frame(body))
            answer = read_frame(proc.stdout)
            frames += 1
            largest = max(largest, len(answer) + 4)
            split = json.loads(answer)["split"]
            full_bytes += len(split["part"].encode())
            body = nxt
            if split["last"]:
                break
        elapsed = time.perf_counter() - start
        rss = peak_rss_kib(proc.pid) * 1024
        cpu = cpu_seconds(proc.pid)
        proc.stdin.close()
        proc.wait(timeout=60)
        return {"files": files, "seconds": elapsed, "frames": frames, "largest": largest,
                "full": full_bytes, "rss": rss, "cpu": cpu}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main() -> int:
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
    host = os.path.join(bin_dir, "lumra-scan-host")
    # Best of three runs each: the machine is shared, the minimum is the cost.
    results = [min((run_series(host, n) for _ in range(3)), key=lambda r: r["seconds"]) for n in (20, 40)]
    print("filesSplitProcessing series through the host's pipes (2.5 MB page files)")
    for r in results:
        mb = r["files"] * PAGE_BYTES / 1e6
        print(f"  {r['files']:3d} files: {mb:6.1f} MB in {r['seconds']:6.2f} s = {mb / r['seconds']:7.1f} MB/s, "
              f"{r['frames']} frames (largest {r['largest']} bytes), full answer {r['full'] / 1e6:.1f} MB, "
              f"host peak RSS {r['rss'] / 1e6:.1f} MB = {r['rss'] / r['full']:.2f} x full answer, "
              f"host CPU {r['cpu']:.2f} s ({mb / max(r['cpu'], 1e-3):.0f} MB/s of host time)")
    ratio = results[1]["seconds"] / results[0]["seconds"]
    print(f"  time for 40 files / time for 20 files = {ratio:.2f} (linear: 2.0, goal <= 2.2)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
