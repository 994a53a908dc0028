#!/usr/bin/env python3
"""The main job, end to end: with lumra-scan, list the scanners, then scan a
three-page feeder job from the virtual scanner into demo-pages/, once as JPEG
pages fetched as a split series and once as PNG pages in one answer.

usage: demo.py BIN_DIR   (./run demo passes build/bin)
"""
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(sys.argv[1])
    client = os.path.join(bin_dir, "lumra-scan")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    pages_dir = os.path.join(root, "demo-pages")
    shutil.rmtree(pages_dir, ignore_errors=True)

    # The virtual scanner without a scenario behaves as a well-mannered feeder
    # scanner; the host runs in a private temp folder (its log, its working
    # folder, its instance lock) so a browser's host is not disturbed.
    tmp = tempfile.mkdtemp(prefix="lumra-demo-")
    env = dict(os.environ, TMPDIR=tmp)
    for name in ("LUMRA_VIRTUAL_SCENARIO", "LUMRA_VIRTUAL_JOURNAL", "LUMRA_TWAIN_SOURCES",
                 "XDG_RUNTIME_DIR"):
        env.pop(name, None)

    steps = [
        ("List the scanners", ["list"]),
        ("Scan three pages from the feeder at 300 dpi as JPEG (quality 80); the answer "
         "is larger than a browser message, so it comes as a split series",
         ["scan", "--scanner", "1", "--feeder", "--dpi", "300", "--color", "color",
          "--format", "jpg", "--quality", "80", "--as", "split",
          "--out", os.path.join(pages_dir, "jpeg")]),
        ("Scan them again at 150 dpi as PNG, all pages in one answer",
         ["scan", "--scanner", "1", "--feeder", "--dpi", "150", "--format", "png",
          "--as", "pages", "--out", os.path.join(pages_dir, "png")]),
    ]
    failed = False
    for title, args in steps:
        print("\n== " + title)
        print("$ lumra-scan " + " ".join(args))
        result = subprocess.run([client] + args + ["--verbose"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        print(result.stdout, end="")
        if result.returncode != 0:
            failed = True
            print(result.stderr, end="", file=sys.stderr)
            print("(exit status %d)" % result.returncode)

    print("\n== Pages")
    for folder in ("jpeg", "png"):
        path = os.path.join(pages_dir, folder)
        if os.path.isdir(path):
            names = sorted(os.listdir(path))
            sizes = ", ".join("%s (%d bytes)" % (n, os.path.getsize(os.path.join(path, n)))
                              for n in names)
            print("%s: %s" % (os.path.relpath(path, root), sizes))
    print("host log: " + os.path.join(tmp, "lumra-%d" % os.geteuid(), "LumraImageScanning.log"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
