// One zlib stream deflated in bands of rows on several threads, joined the
// way pigz joins its blocks: every band but the last ends on a byte with an
// empty stored block, so the bands follow each other as one deflate stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace lumra {

/// Fills `count` rows from row `first` into `out` (rowBytes each). Called on
/// several threads at once for different rows.
using BandRows = std::function<void(uint32_t first, uint32_t count, uint8_t* out)>;
/// Takes the next bytes of the zlib stream, in order, on the calling thread;
/// false stops the work.
using StreamBytes = std::function<bool(const uint8_t* data, size_t size)>;

struct DeflateBands {
  uint32_t rows = 0;
  size_t rowBytes = 0;
  /// The zlib level the stream stands for (its header's level field).
  int zlibLevel = 6;
  /// libdeflate's level, 1 to 12; chosen to compress at least as well.
  int level = 6;
  /// Threads to use at most; 0 or 1 works on the calling thread.
  unsigned threads = 1;
  /// Uncompressed bytes per band at most (whole rows, at least one); less
  /// with many threads. A band's start loses the window of the band before
  /// it (some 0.1% of a page at 2 MiB); each band in work holds about twice
  /// this.
  size_t bandBytes = size_t{2} << 20;
};

/// Writes the zlib stream (header, deflate data, Adler-32) of every row to
/// `out`. At most threads + 1 bands are held at a time. False when memory or
/// a thread runs short, or when `out` refuses bytes.
bool deflateBands(const DeflateBands& job, const BandRows& rows, const StreamBytes& out);

}  // namespace lumra
