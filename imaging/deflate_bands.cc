#include "imaging/deflate_bands.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "imaging/in_order.h"

namespace lumra {

namespace {

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

// One band's deflate blocks and what the stream's Adler-32 needs of it.
struct Band {
  std::vector<uint8_t> data;
  uint32_t adler = 1;
  size_t rawBytes = 0;
};

// Clears the final-block bit of the deflate stream in `data` and ends it on
// a byte boundary with an empty stored block, so another stream can follow.
// libdeflate does not tell where its last block starts; zlib's inflate walks
// the blocks to find it (as zlib's gzjoin does).
bool makeJoinable(std::vector<uint8_t>& data) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  uint8_t scratch[16384];
  z.next_in = data.data();
  z.avail_in = static_cast<uInt>(data.size());
  uint64_t lastHeaderBit = 0;
  size_t end = 0;
  unsigned unusedBits = 0;
  bool found = false;
  while (!found) {
    z.next_out = scratch;
    z.avail_out = sizeof scratch;
    if (inflate(&z, Z_BLOCK) != Z_OK) break;
    if ((z.data_type & 128) == 0) continue;  // the scratch filled up mid-block
    const size_t used = data.size() - z.avail_in;
    if (z.data_type & 64) {  // past the end of the final block
      end = used;
      unusedBits = static_cast<unsigned>(z.data_type & 7);
      found = true;
    } else {
      lastHeaderBit = uint64_t{used} * 8 - static_cast<unsigned>(z.data_type & 7);
    }
  }
  inflateEnd(&z);
  if (!found || end == 0) return false;
  data.resize(end);
  data[lastHeaderBit / 8] &= static_cast<uint8_t>(~(1u << (lastHeaderBit % 8)));
  data[end - 1] &= static_cast<uint8_t>(0xFF >> unusedBits);
  // The stored block's three header bits (all 0) go where bits are free.
  if (unusedBits < 3) data.push_back(0);
  for (uint8_t b : {0x00, 0x00, 0xFF, 0xFF}) data.push_back(b);
  return true;
}

// Fills and deflates the rows of one band; false when memory runs short.
bool compressBand(libdeflate_compressor* compressor, const DeflateBands& job,
                  const BandRows& rows, uint32_t first, uint32_t count, bool last, Band* band) {
  try {
    band->rawBytes = static_cast<size_t>(count) * job.rowBytes;
    std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[band->rawBytes]);
    if (!input) return false;
    rows(first, count, input.get());
    band->adler = libdeflate_adler32(1, input.get(), band->rawBytes);
    band->data.resize(libdeflate_deflate_compress_bound(compressor, band->rawBytes));
    const size_t size = libdeflate_deflate_compress(compressor, input.get(), band->rawBytes,
                                                    band->data.data(), band->data.size());
    if (size == 0) return false;
    input.reset();
    band->data.resize(size);
    if (!last && !makeJoinable(band->data)) return false;
    band->data.shrink_to_fit();  // bands waiting to be written hold no slack
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The zlib header (RFC 1950) of a 32 KiB window at `level`'s level field.
void zlibHeader(int level, uint8_t header[2]) {
  const unsigned field = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  unsigned value = 0x7800 | (field << 6);
  value += 31 - value % 31;
  header[0] = static_cast<uint8_t>(value >> 8);
  header[1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

bool deflateBands(const DeflateBands& job, const BandRows& rows, const StreamBytes& out) {
  if (job.rows == 0 || job.rowBytes == 0) return false;
  // Bands in work hold some 3 x threads x bandBytes: with many processors
  // the bands get smaller, so that stays within a third of the rows.
  const unsigned most = std::max(job.threads, 1u);
  const size_t total = static_cast<size_t>(job.rows) * job.rowBytes;
  const size_t bandBytes = std::min(job.bandBytes, std::max<size_t>(256 << 10, total / 9 / most));
  const uint32_t bandRows = static_cast<uint32_t>(
      std::clamp<size_t>(bandBytes / job.rowBytes, 1, job.rows));
  const uint32_t bandCount = (job.rows + bandRows - 1) / bandRows;
  auto bandStart = [&](uint32_t i) { return i * bandRows; };
  auto bandLength = [&](uint32_t i) { return std::min(bandRows, job.rows - bandStart(i)); };

  uint8_t header[2];
  zlibHeader(job.zlibLevel, header);
  if (!out(header, 2)) return false;
  // A compressor per thread; a band starts only while fewer than `threads`
  // wait to be written, so memory stays bounded whatever the writer's pace.
  const unsigned threads = std::clamp<unsigned>(job.threads, 1, bandCount);
  std::vector<Compressor> compressors(threads);
  auto make = [&](uint32_t i, unsigned worker, Band& band) {
    Compressor& compressor = compressors[worker];
    if (!compressor) compressor.reset(libdeflate_alloc_compressor(job.level));
    return compressor && compressBand(compressor.get(), job, rows, bandStart(i), bandLength(i),
                                      i + 1 == bandCount, &band);
  };
  uLong adler = 1;
  auto take = [&](uint32_t, Band& band) {
    if (!out(band.data.data(), band.data.size())) return false;
    adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.rawBytes));
    return true;
  };
  if (!makeInOrder<Band>(bandCount, threads, threads, make, take)) return false;
  const uint8_t trailer[4] = {static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                              static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
  return out(trailer, 4);
}

}  // namespace lumra
