#include "tools/manifest_command.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "tools/host_client.h"

namespace lumra {
namespace {

TEST(ManifestsVerb, ExtensionIds) {
  struct Case {
    std::string id;
    bool chrome, firefox;
  };
  const Case cases[] = {
      {"bebjjoghbeoiaaikohkeaamlnbghlpcd", true, false},
      {"bebjjoghbeoiaaikohkeaamlnbghlpcq", false, false},  // q is past p
      {"bebjjoghbeoiaaikohkeaamlnbghlpc", false, false},
      {"scan@example.org", false, true},
      {"@example.org", false, true},
      {"scan@", false, false},
      {"sc\"an@example.org", false, false},
      {"{12345678-1234-1234-1234-123456789abc}", false, true},
      {"{12345678-1234-1234-1234-123456789abg}", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isChromeExtensionId(c.id), c.chrome) << c.id;
    EXPECT_EQ(isFirefoxExtensionId(c.id), c.firefox) << c.id;
  }
}

std::unique_ptr<JsonValue> readJson(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  std::u16string wide;
  return toUtf16(text, &wide) ? parseJson(wide) : nullptr;
}

TEST(ManifestsVerb, WritesWhatIsAskedAndNothingOnAWrongId) {
  const std::string folder = ::testing::TempDir() + "manifests_verb";
  std::filesystem::create_directories(folder);
  const std::string chrome = folder + "/lumra.scan_host.json";
  const std::string firefox = folder + "/lumra.scan_host.firefox.json";
  ASSERT_EQ(runManifestsVerb({"--folder", folder, "--host", "/opt/x/lumra-scan-host",
                              "--extension-ids", "bebjjoghbeoiaaikohkeaamlnbghlpcd, abcdefghijklmnopabcdefghijklmnop",
                              "--firefox-ids", "scan@example.org"}),
            0);
  auto manifest = readJson(chrome);
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(stringify(*manifest),
            u"{\"allowed_origins\":[\"chrome-extension:\\/\\/bebjjoghbeoiaaikohkeaamlnbghlpcd\\/\","
            u"\"chrome-extension:\\/\\/abcdefghijklmnopabcdefghijklmnop\\/\"],"
            u"\"description\":\"Lumra document scanning host\",\"name\":\"lumra.scan_host\","
            u"\"path\":\"\\/opt\\/x\\/lumra-scan-host\",\"type\":\"stdio\"}");
  manifest = readJson(firefox);
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(stringify(*manifest->find(u"allowed_extensions")), u"[\"scan@example.org\"]");

  // A wrong id changes nothing; no Firefox ids take the Firefox manifest away.
  EXPECT_EQ(runManifestsVerb({"--folder", folder, "--firefox-ids", "nope"}), 2);
  EXPECT_EQ(runManifestsVerb({"--folder", folder, "--extension-ids", ""}), 2);
  EXPECT_TRUE(std::filesystem::exists(firefox));
  EXPECT_EQ(runManifestsVerb({"--folder", folder}), 0);
  EXPECT_FALSE(std::filesystem::exists(firefox));
  EXPECT_NE(readJson(chrome), nullptr);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace lumra
