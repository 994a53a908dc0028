#include "tests/host_session.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/paths.h"
#include "tools/host_client.h"

namespace lumra::test {

std::string BinaryDir() {
  const char* installed = std::getenv("LUMRA_TEST_BIN_DIR");
  return installed != nullptr && *installed != '\0' ? installed : LUMRA_BIN_DIR;
}

std::string BinaryPath(const std::string& name) {
  return BinaryDir() + "/" + name + kProgramSuffix;
}

std::string HostPath() { return BinaryPath("lumra-scan-host"); }

std::string MakeTempFolder(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return "";
  std::mt19937_64 random(std::random_device{}() ^
                         std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / (prefix + std::to_string(random() % 1000000000ull));
    // Forward slashes on every platform: tests put these paths into JSON text.
    if (std::filesystem::create_directory(candidate, ec) && !ec) return candidate.generic_string();
  }
  return "";
}

std::string HostTempFolder(const std::string& tmp) {
  const std::string name = privateTempFolderName();
  return name.empty() ? tmp : tmp + "/" + name;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::map<std::string, std::optional<std::string>> HostEnv(const std::string& tmp,
                                                          const std::string& scenario) {
  std::map<std::string, std::optional<std::string>> env = {
      {"TMPDIR", tmp}, {"TMP", tmp}, {"TEMP", tmp}, {"XDG_RUNTIME_DIR", std::nullopt},
      {"LUMRA_TWAIN_SOURCES", std::nullopt}, {"LUMRA_VIRTUAL_JOURNAL", tmp + "/journal.txt"},
      // SANE sees no devices (a folder that does not exist): no probing of
      // the network, no real scanner among the virtual ones.
      {"SANE_CONFIG_DIR", tmp + "/no-sane"}, {"LUMRA_SANE_JOURNAL", tmp + "/journal.txt"},
      {"LUMRA_SANE_OPTIONS", std::nullopt}};
  env["LUMRA_VIRTUAL_SCENARIO"] = scenario.empty() ? std::optional<std::string>() : scenario;
  return env;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string JsonEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string decodeBase64(const std::u16string& text) {
  std::string bytes;
  return lumra::decodeBase64(text, &bytes) ? bytes : "<not Base64>";
}

const JsonValue* ValueAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = root;
  for (const auto& key : path) value = value != nullptr ? value->find(key) : nullptr;
  return value;
}

std::string StringAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = ValueAt(root, path);
  return value != nullptr && value->isString() ? toUtf8(value->asString()) : "";
}

double NumberAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = ValueAt(root, path);
  return value != nullptr && value->isNumber() ? value->asNumber() : -1;
}

std::string Status(const JsonValue* answer) {
  if (answer == nullptr) return "no answer";
  const std::string description = StringAt(answer, {u"status", u"description"});
  return StringAt(answer, {u"status", u"result"}) + (description.empty() ? "" : ": " + description);
}

TestHost::~TestHost() {
  if (process_.running()) finish(0, false);
  // Whatever a test checks, the host must never send a source an operation
  // outside the TWAIN state that allows it.
  for (const std::string& line : journal("VIOLATION")) ADD_FAILURE() << line;
  if (ownsFolder_) RemoveTree(folder_);
}

bool TestHost::start(const std::string& scenario, const std::string& program,
                     const std::string& shareFolder) {
  ownsFolder_ = shareFolder.empty();
  folder_ = ownsFolder_ ? MakeTempFolder("lumra_e2e_") : shareFolder;
  if (folder_.empty()) {
    ADD_FAILURE() << "no temp folder";
    return false;
  }
  std::string scenarioPath;
  if (!scenario.empty()) {
    scenarioPath = folder_ + "/scenario.txt";
    WriteFile(scenarioPath, scenario);
  }
  ChildOptions options;
  options.env = HostEnv(folder_, scenarioPath);
  for (const auto& [name, value] : extraEnv) options.env[name] = value;
  options.args = args;
  std::string err;
  if (process_.start(program.empty() ? HostPath() : program, options, &err)) return true;
  ADD_FAILURE() << err;
  return false;
}

std::string TestHost::exchange(const std::string& body) {
  std::string err, answer;
  EXPECT_TRUE(process_.writeFrame(body, &err)) << err;
  EXPECT_TRUE(process_.readFrame(&answer, kTimeoutMs, &err))
      << err << "\nstderr: " << process_.stderrText();
  return answer;
}

std::unique_ptr<JsonValue> TestHost::ask(const std::string& json, int timeoutMs) {
  std::string err, body;
  std::unique_ptr<JsonValue> answer;
  if (process_.writeFrame(json, &err) && process_.readFrame(&body, timeoutMs, &err)) {
    answer = parseAnswer(body, &err);
  }
  EXPECT_NE(answer, nullptr) << err << ": " << body.substr(0, 200) << "\nstderr: " << process_.stderrText();
  return answer;
}

std::unique_ptr<JsonValue> TestHost::requestSplit(const std::string& first, std::string* err,
                                                  int* slices, const std::string& next) {
  std::u16string whole;
  int count = 0;
  for (bool last = false; !last;) {
    std::string body;
    if (!process_.writeFrame(count == 0 || next.empty() ? first : next, err) ||
        !process_.readFrame(&body, 60000, err)) {
      return nullptr;
    }
    auto answer = parseAnswer(body, err);
    const JsonValue* part = ValueAt(answer.get(), {u"split", u"part"});
    const JsonValue* lastValue = ValueAt(answer.get(), {u"split", u"last"});
    if (part == nullptr || !part->isString() || lastValue == nullptr || !lastValue->isBool() ||
        answer->find(u"pages") != nullptr || body.size() + 4 >= (1u << 20) || ++count > 10000) {
      *err = "not a split answer under 1 MiB, or a series without end: " + body.substr(0, 200);
      return nullptr;
    }
    whole += part->asString();
    last = lastValue->asBool();
  }
  if (slices != nullptr) *slices = count;
  auto root = parseJson(whole);
  if (root == nullptr) *err = "reassembled answer is not JSON";
  return root;
}

void TestHost::finish(int expectedCode, bool nothingLeft) {
  process_.closeStdin();
  ExitStatus status;
  if (!process_.waitExit(kTimeoutMs, &status)) {
    process_.kill();
    ADD_FAILURE() << "the host did not end after its input";
    return;
  }
  // Also how a sanitizer reports a leak or an error at exit.
  std::string errors = process_.stderrText();
  EXPECT_TRUE(status.exited && status.code == expectedCode)
      << "the host ended with " << (status.exited ? status.code : -status.signal) << "\n"
      << errors.substr(errors.size() > 4000 ? errors.size() - 4000 : 0);
  std::string rest;
  EXPECT_TRUE(process_.readToEnd(&rest, kTimeoutMs));
  EXPECT_TRUE(rest.empty() || !nothingLeft) << "stray bytes after the last frame";
}

std::vector<std::string> TestHost::journal(const std::string& operation) const {
  std::vector<std::string> lines;
  std::ifstream in(folder_ + "/journal.txt");
  for (std::string line; std::getline(in, line);) {
    if (operation.empty() || line.rfind(operation + " ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::string TestHost::log() const {
  return ReadFile(HostTempFolder(folder_) + "/LumraImageScanning.log");
}

std::string TestHost::defaultWorkFolder() const {
  return HostTempFolder(folder_) + "/lumra_image_scan/";
}

}  // namespace lumra::test
