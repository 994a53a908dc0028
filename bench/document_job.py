#!/usr/bin/env python3
"""A 50-page feeder job from the virtual scanner, colour A4 at 300 dpi, JPEG
quality 80, as "scannerProcessingFiles": once as JPEG page files, once as one
PDF. The PDF may add at most 10% time, and its size must be within 2% of the
JPEG files' sum. The host's peak RSS for the PDF at 10 and at 50 pages shows
whether it grows with the page count. Times are the best of three runs.

usage: document_job.py BIN_DIR [PAGES]
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_job import one_answer, virtual_host  # noqa: E402


def run(bin_dir, pages, fmt):
    """Seconds, bytes of the files the job left, host peak RSS in MiB."""
    host, tmp = virtual_host(bin_dir, pages)
    request = {"messageId": "bench", "command": "scannerProcessingFiles",
               "workingDirectory": os.path.join(tmp, "out"),
               "settings": {"dpi": 300, "color": "color", "feeder": True,
                            "format": {"type": fmt, "quality": 80}}}
    answer, elapsed, rss = one_answer(host, request)
    files = [f["fileName"] for f in answer.get("files", [])]
    size = sum(os.path.getsize(f) for f in files)
    shutil.rmtree(tmp, ignore_errors=True)
    want = 1 if fmt == "pdf" else pages
    if answer.get("status", {}).get("result") != "success" or len(files) != want:
        raise RuntimeError("%s: %s" % (fmt, answer.get("status")))
    return elapsed, size, rss


def best(bin_dir, pages, fmt, runs=3):
    results = [run(bin_dir, pages, fmt) for _ in range(runs)]
    return min(r[0] for r in results), results[0][1], max(r[2] for r in results)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    print("== one PDF against JPEG pages: %d colour A4 pages at 300 dpi, quality 80" % pages)
    jpg_time, jpg_size, jpg_rss = best(bin_dir, pages, "jpg")
    pdf_time, pdf_size, pdf_rss = best(bin_dir, pages, "pdf")
    _, _, small_rss = best(bin_dir, 10, "pdf", runs=1)
    time_ratio = pdf_time / jpg_time
    size_ratio = pdf_size / jpg_size
    print("JPEG pages: %.2f s, %.1f MB in %d files, host peak RSS %.0f MiB"
          % (jpg_time, jpg_size / 1e6, pages, jpg_rss))
    print("one PDF:    %.2f s, %.1f MB, host peak RSS %.0f MiB (10 pages: %.0f MiB)"
          % (pdf_time, pdf_size / 1e6, pdf_rss, small_rss))
    print("  time %+.1f%% (at most +10%%: %s); size %+.2f%% (within 2%%: %s); "
          "RSS 50 against 10 pages %+.0f MiB"
          % (100 * (time_ratio - 1), "yes" if time_ratio <= 1.10 else "NO",
             100 * (size_ratio - 1), "yes" if abs(size_ratio - 1) <= 0.02 else "NO",
             pdf_rss - small_rss))
    return 0


if __name__ == "__main__":
    sys.exit(main())
