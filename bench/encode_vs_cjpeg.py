#!/usr/bin/env python3
"""Colour A4 page at 300 dpi: our JPEG page writer (lumra-scan encode) against
libjpeg-turbo's cjpeg on the same .bmp at the same quality, in the same run;
then the peak memory of saveDIB for every format and page kind.

usage: encode_vs_cjpeg.py BIN_DIR
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = 7
FORMATS = {
    "colour": [1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15, 17],
    "gray": [1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 18],
    "bw": [1, 2, 4, 5, 6, 8, 9, 18],
    "text": [4, 5, 11, 12, 17],
}
NAMES = {1: "bmp", 2: "gif", 3: "jpg", 4: "png", 5: "ico", 6: "tif", 7: "tga", 8: "pcx",
         9: "wbmp", 11: "jp2", 12: "jpc", 13: "pgx", 14: "pnm", 15: "ras", 17: "mng", 18: "ska"}


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = sys.argv[1]
    bench = os.path.join(bin_dir, "encode_bench")
    client = os.path.join(bin_dir, "lumra-scan")
    cjpeg = shutil.which("cjpeg")
    with tempfile.TemporaryDirectory() as work:
        page = os.path.join(work, "page.bmp")
        subprocess.run([bench, "--write-page=colour:" + page], check=True)
        ours_out = os.path.join(work, "ours.jpg")
        theirs_out = os.path.join(work, "cjpeg.jpg")
        if cjpeg and os.path.exists(client):
            ours, theirs = [], []
            for _ in range(RUNS):  # interleaved, so both see the same machine load
                ours.append(timed([client, "encode", page, "--format", "jpg", "--quality", "90",
                                   "-o", ours_out]))
                theirs.append(timed([cjpeg, "-quality", "90", "-outfile", theirs_out, page]))
            o, t = statistics.median(ours), statistics.median(theirs)
            print("JPEG colour A4 300 dpi, quality 90, whole process, median of %d:" % RUNS)
            print("  lumra-scan encode  %7.1f ms  %8d bytes" % (o * 1000, os.path.getsize(ours_out)))
            print("  cjpeg              %7.1f ms  %8d bytes" % (t * 1000, os.path.getsize(theirs_out)))
            print("  ratio %.2f (goal at most 1.20)" % (o / t))
        else:
            print("cjpeg or lumra-scan missing: JPEG comparison skipped")

        print("Peak memory of saveDIB (handle included) over the raw page size (goal at most 2.5):")
        for kind, formats in FORMATS.items():
            for f in formats:
                out = os.path.join(work, "peak." + NAMES[f])
                result = subprocess.run([bench, "--peak=%d:%s:%s" % (f, kind, out)],
                                        capture_output=True, text=True)
                print("  %-4s %s" % (NAMES[f], result.stdout.strip()))
                if os.path.exists(out):
                    os.remove(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
