// PNG, ICO and MNG page files checked by pngcheck, which inflates and checks
// every chunk, IDAT by IDAT, independently of libpng.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <vector>

#include "imaging/testing/decoders.h"

namespace lumra {
namespace {

using namespace testing;

bool pngcheckAccepts(const uint8_t* data, size_t size) {
  signal(SIGPIPE, SIG_IGN);  // pngcheck may stop reading at a fault
  FILE* check = popen("pngcheck -q", "w");
  if (check == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, check) == size;
  const int status = pclose(check);
  return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Pngcheck, PngIcoAndMngPagesPass) {
  struct Case {
    uint32_t format, width, height, depth;
  };
  const Case cases[] = {{4, 19, 7, 1}, {4, 21, 6, 4}, {4, 1500, 1000, 24},  // PNG in bands
                        {5, 300, 40, 24}, {17, 1500, 1000, 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << ", " << c.width << "x" << c.height);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(makeTestPage(c.width, c.height, c.depth), c.format, &ok);
    const size_t start = c.format == 5 ? 22 : 0;  // the PNG in the icon
    ASSERT_TRUE(ok && file.size() > start);
    EXPECT_TRUE(pngcheckAccepts(file.data() + start, file.size() - start));
  }
}

}  // namespace
}  // namespace lumra
