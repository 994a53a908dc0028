// Two users on one machine sharing a temp folder: another user's planted
// folder, links and lock must neither reach the victim's files nor stop the
// victim's host, and each user's pages stay private. Needs root, to play
// both users with setpriv.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/host_session.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kVictim = 65534;
constexpr uid_t kOther = 65533;
constexpr char kFilesScan[] =
    "{\"messageId\":\"s\",\"command\":\"scannerProcessingFiles\",\"settings\":{\"dpi\":50}}";
constexpr char kSaveFailed[] = "\"description\":\"Error save image to file.\",\"result\":\"error\"";

class SharedMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users with setpriv";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/setpriv (util-linux)";
    tmp_ = MakeTempFolder("lumra-users-");
    ASSERT_FALSE(tmp_.empty());
    own(tmp_, 0755, 0);
    shared_ = tmp_ + "/shared";
    makeFolder(shared_, 01777, 0);  // like /tmp
    home_ = tmp_ + "/home";
    makeFolder(home_, 0700, kVictim);
    for (const char* name : {".bashrc", ".profile"}) {
      WriteFile(home_ + "/" + name, "victim's own\n");
      own(home_ + "/" + name, 0600, kVictim);
    }
    // The build may lie in a folder only root can enter (a clone in a
    // private temp folder): both users run a copy of the host's files here.
    bin_ = tmp_ + "/bin";
    const fs::path built = fs::path(HostPath()).parent_path();
    std::error_code error;
    fs::create_directory(bin_, error);
    for (const char* name : {"lumra-scan-host", "liblumra_platform.so", "libtwaindsm.so"}) {
      fs::copy_file(built / name, fs::path(bin_) / name, error);
      ASSERT_FALSE(error) << name << ": " << error.message();
    }
    fs::create_directory(bin_ + "/twain", error);
    fs::copy_file(built / "twain" / "virtual.ds", fs::path(bin_) / "twain" / "virtual.ds", error);
    ASSERT_FALSE(error) << "virtual.ds: " << error.message();
    for (const auto& entry : fs::recursive_directory_iterator(bin_)) {
      ::chmod(entry.path().c_str(), 0755);
    }
    ::chmod(bin_.c_str(), 0755);
  }

  void makeFolder(const std::string& path, mode_t mode, uid_t uid) {
    fs::create_directory(path);
    own(path, mode, uid);
  }
  void own(const std::string& path, mode_t mode, uid_t uid) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path;
  }
  void plantLink(const std::string& at, const std::string& to) {
    fs::create_symlink(to, at);
    ASSERT_EQ(::lchown(at.c_str(), kOther, kOther), 0);
  }

  void TearDown() override { RemoveTree(tmp_); }

  void startAs(TestHost* host, uid_t uid) {
    host->args = {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups",
                  bin_ + "/lumra-scan-host"};
    host->extraEnv["LUMRA_VIRTUAL_JOURNAL"] = std::nullopt;
    ASSERT_TRUE(host->start("", "/usr/bin/setpriv", shared_));
  }

  void expectHomeUntouched() {
    for (const char* name : {".bashrc", ".profile"}) EXPECT_EQ(ReadFile(home_ + "/" + name), "victim's own\n") << name;
  }

  std::string tmp_, shared_, home_, bin_;
};

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) names.insert(entry.path().string());
  return names;
}

TEST_F(SharedMachine, AFolderPlantedUnderOurNameIsRefused) {
  // Another user made the victim's temp folder first, open to all, with
  // links at the page and log names and the lock file held.
  const std::string planted = shared_ + "/lumra-" + std::to_string(kVictim);
  makeFolder(planted, 0777, kOther);
  makeFolder(planted + "/lumra_image_scan", 0777, kOther);
  plantLink(planted + "/lumra_image_scan/page_0.jpg", home_ + "/.bashrc");
  plantLink(planted + "/LumraImageScanning.log", home_ + "/.profile");
  const std::string lock = planted + "/lumraImageScanningWebExtLock.lock";
  int held = ::open(lock.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(held, 0);
  own(lock, 0666, kOther);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::set<std::string> before = Names(planted);

  TestHost host;
  startAs(&host, kVictim);
  std::string list = host.exchange("{\"messageId\":\"l\",\"command\":\"scannersList\"}");
  EXPECT_NE(list.find("\"result\":\"success\""), std::string::npos) << list;
  std::string scan = host.exchange(kFilesScan);
  EXPECT_NE(scan.find(kSaveFailed), std::string::npos) << scan;
  host.finish();
  ::close(held);

  EXPECT_NE(host.process().stderrText().find(planted + " belongs to user " + std::to_string(kOther)),
            std::string::npos)
      << host.process().stderrText();
  expectHomeUntouched();
  EXPECT_EQ(Names(planted), before);
}

TEST_F(SharedMachine, UsersScanSideBySideAndNeverThroughTheOthersFiles) {
  TestHost victim, other;
  startAs(&victim, kVictim);
  startAs(&other, kOther);  // one instance per user, not per machine
  for (auto [host, uid] : {std::pair{&victim, kVictim}, std::pair{&other, kOther}}) {
    std::string answer = host->exchange(kFilesScan);
    const std::string folder = shared_ + "/lumra-" + std::to_string(uid);
    const std::string page = folder + "/lumra_image_scan/page_0.jpg";
    std::string escaped;  // the answer writes "/" as "\/"
    for (char ch : page) escaped += ch == '/' ? std::string("\\/") : std::string(1, ch);
    EXPECT_NE(answer.find("\"fileName\":\"" + escaped + "\""), std::string::npos) << answer;
    struct stat info;
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, uid);
    ASSERT_EQ(::lstat(page.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, uid);
  }
  other.finish();

  // A folder the victim was given to write into, prepared by the other user.
  const std::string drop = shared_ + "/drop";
  makeFolder(drop, 0777, kOther);
  // At the page name: a link, then the other user's file anyone may write.
  for (bool link : {true, false}) {
    SCOPED_TRACE(link ? "link" : "other user's file");
    const std::string page = drop + "/page_0.jpg";
    fs::remove(page);
    if (link) {
      plantLink(page, home_ + "/.bashrc");
    } else {
      WriteFile(page, "");
      own(page, 0666, kOther);
    }
    std::string answer = victim.exchange("{\"messageId\":\"w\",\"command\":\"scannerProcessingFiles\","
                                         "\"workingDirectory\":\"" + drop + "\",\"settings\":{\"dpi\":50}}");
    EXPECT_NE(answer.find(kSaveFailed), std::string::npos) << answer;
    if (!link) { EXPECT_EQ(ReadFile(page), ""); }
  }
  victim.finish();
  expectHomeUntouched();
}

}  // namespace
}  // namespace lumra::test
