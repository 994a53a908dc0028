#!/usr/bin/env python3
"""A short scripted session with the host, printed readably.

Starts build/bin/lumra-scan-host with a private temp folder, sends a few
framed requests through its standard input and prints each answer frame.

    python3 scripts/demo.py build/bin
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile


def frame(body: bytes) -> bytes:
    return struct.pack("<I", len(body)) + body


def read_frame(stream) -> bytes:
    head = stream.read(4)
    if len(head) < 4:
        raise EOFError("the host closed its output")
    (n,) = struct.unpack("<I", head)
    body = b""
    while len(body) < n:
        chunk = stream.read(n - len(body))
        if not chunk:
            raise EOFError("the host closed its output")
        body += chunk
    return body


def shorten(value):
    """Long Base64 and slice texts are cut for printing."""
    if isinstance(value, dict):
        return {k: shorten(v) for k, v in value.items()}
    if isinstance(value, list):
        return [shorten(v) for v in value]
    if isinstance(value, str) and len(value) > 70:
        return value[:60] + f"... ({len(value)} characters)"
    return value


def show(title: str, request, answer: bytes) -> None:
    print(f"--- {title}")
    shown = request if isinstance(request, str) else json.dumps(request, ensure_ascii=False)
    print(f">>> {shown}")
    try:
        text = json.dumps(shorten(json.loads(answer)), ensure_ascii=False, indent=2)
    except ValueError:
        text = repr(answer)
    print("<<< " + text.replace("\n", "\n    "))
    print()


def main() -> int:
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
    host = os.path.join(bin_dir, "lumra-scan-host")
    tmp = tempfile.mkdtemp(prefix="lumra-demo-")
    try:
        pages = []
        for i, text in enumerate([b"first page of a scan", b"\x89PNG second page" * 4000]):
            path = os.path.join(tmp, f"page_{i}.jpg")
            with open(path, "wb") as f:
                f.write(text)
            pages.append(path)
        env = dict(os.environ, TMPDIR=tmp)
        env.pop("XDG_RUNTIME_DIR", None)
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, bufsize=0)

        def ask(title, request):
            body = request.encode() if isinstance(request, str) else json.dumps(request).encode()
            proc.stdin.write(frame(body))
            answer = read_frame(proc.stdout)
            show(title, request, answer)
            return json.loads(answer)

        ask("the scanners of this machine", {"messageId": "1", "command": "scannersList"})
        ask("a request that is not JSON", "hello")
        ask("an unknown command", {"messageId": "2", "command": "ScannersList"})
        # A split series: the first request names the files, the next ones
        # fetch the rest of the answer slice by slice.
        request = {"messageId": "3", "command": "filesSplitProcessing", "clientLogin": "José",
                   "files": [{"fileName": p} for p in pages + [os.path.join(tmp, "missing.jpg")]]}
        parts = []
        while True:
            answer = ask(f"split series, slice {len(parts) + 1}", request)
            parts.append(answer["split"]["part"])
            request = {"messageId": "3", "command": "filesSplitProcessing"}
            if answer["split"]["last"]:
                break
        full = json.loads("".join(parts))
        print(f"--- the {len(parts)} slices joined: {len(full['pages'])} page items")
        for page in full["pages"]:
            print("    " + json.dumps(shorten(page), ensure_ascii=False))
        print()
        leftover = os.path.join(tmp, "left.jpg")
        open(leftover, "wb").close()
        ask("delete files", {"messageId": "4", "command": "removeFiles", "files": [{"fileName": leftover}]})

        proc.stdin.close()
        code = proc.wait(timeout=30)
        print(f"--- end of input: the host exited with code {code}")
        log = os.path.join(tmp, "LumraImageScanning.log")
        with open(log, encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
        print(f"--- its log ({len(lines)} records), first and last lines:")
        for line in lines[:3] + ["..."] + lines[-2:]:
            print("    " + line)
        return 0 if code == 0 else 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
