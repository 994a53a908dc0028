#include "platform/open_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace lumra {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(openOwnFile, NeverFollowsALinkNorTakesAnotherUsersFile) {
  char pattern[] = "/tmp/lumra-open-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string target = dir + "/precious", own = dir + "/own", link = dir + "/link",
                    dangling = dir + "/dangling", fifo = dir + "/fifo", theirs = dir + "/theirs";
  std::ofstream(target) << "keep";
  std::ofstream(own) << "old";
  std::filesystem::create_symlink(target, link);
  std::filesystem::create_symlink(dir + "/created", dangling);
  ::mkfifo(fifo.c_str(), 0600);
  std::ofstream(theirs) << "theirs";
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  }

  struct Case {
    std::string path;
    OpenFor how;
    bool opens;
    std::string after;  // content once written "new" and closed
  };
  const Case cases[] = {
      {own, OpenFor::kRewrite, true, "new"},
      {own, OpenFor::kAppend, true, "newnew"},
      {own, OpenFor::kRead, true, "newnew"},
      {dir + "/fresh", OpenFor::kRewrite, true, "new"},
      {link, OpenFor::kRewrite, false, ""},
      {link, OpenFor::kAppend, false, ""},
      {link, OpenFor::kRead, false, ""},
      {dangling, OpenFor::kRewrite, false, ""},
      {fifo, OpenFor::kRead, false, ""},
      {dir, OpenFor::kRead, false, ""},
      {theirs, OpenFor::kRewrite, !root, "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + std::to_string(static_cast<int>(c.how)));
    std::FILE* file = openOwnFile(c.path, c.how);
    ASSERT_EQ(file != nullptr, c.opens);
    if (!file) continue;
    if (c.how != OpenFor::kRead) std::fputs("new", file);
    std::fclose(file);
    EXPECT_EQ(Slurp(c.path), c.after);
    struct stat info;
    ASSERT_EQ(::stat(c.path.c_str(), &info), 0);
    if (c.path == dir + "/fresh") {
      EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
  }
  EXPECT_EQ(Slurp(target), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir + "/created"));
  if (root) {
    EXPECT_EQ(Slurp(theirs), "theirs");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace lumra
