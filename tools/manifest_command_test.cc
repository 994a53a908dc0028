// The id rules; what the verb writes is checked where it is used: the
// Windows installer's test reads the manifests it wrote.
#include "tools/manifest_command.h"

#include <string>

#include <gtest/gtest.h>

namespace lumra {
namespace {

// Ordinary ids of both kinds are the MSI test's (tests/packages/msi_test.sh).
TEST(ManifestsVerb, ExtensionIds) {
  struct Case {
    std::string id;
    bool chrome, firefox;
  };
  const Case cases[] = {
      {"bebjjoghbeoiaaikohkeaamlnbghlpcq", false, false},  // q is past p
      {"bebjjoghbeoiaaikohkeaamlnbghlpc", false, false},
      {"sc\"an@example.org", false, false},
      {"{12345678-1234-1234-1234-123456789abc}", false, true},
      {"{12345678-1234-1234-1234-123456789abg}", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isChromeExtensionId(c.id), c.chrome) << c.id;
    EXPECT_EQ(isFirefoxExtensionId(c.id), c.firefox) << c.id;
  }
}

}  // namespace
}  // namespace lumra
