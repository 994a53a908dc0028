#include "tools/manifest_command.h"

#include <cstdio>
#include <fstream>

#include "json/json.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace lumra {

const char kManifestsHelp[] =
    "usage: lumra-scan manifests [--extension-ids IDS] [--firefox-ids IDS] [--folder DIR]\n"
    "                            [--host PATH]\n"
    "  Writes the host's native-messaging manifests: lumra.scan_host.json for\n"
    "  Chrome, Chromium and Edge and, with Firefox ids, lumra.scan_host.firefox.json.\n"
    "  --extension-ids IDS  comma-separated Chrome extension ids (32 letters a-p;\n"
    "                       default: the sample extension bebjjoghbeoiaaikohkeaamlnbghlpcd)\n"
    "  --firefox-ids IDS    comma-separated Firefox extension ids (name@domain or\n"
    "                       {uuid}); without them an earlier Firefox manifest goes\n"
    "  --folder DIR         where to write them (default: beside this program)\n"
    "  --host PATH          the host (default: lumra-scan-host beside this program)\n";

namespace {

constexpr char kHostName[] = "lumra.scan_host";
constexpr char kSampleExtensionId[] = "bebjjoghbeoiaaikohkeaamlnbghlpcd";

int usage(const std::string& message) {
  std::fprintf(stderr, "lumra-scan manifests: %s\n%s", message.c_str(), kManifestsHelp);
  return 2;
}

std::vector<std::string> splitIds(const std::string& list) {
  std::vector<std::string> ids;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string id = list.substr(start, end - start);
    const size_t first = id.find_first_not_of(' ');
    id = first == std::string::npos ? "" : id.substr(first, id.find_last_not_of(' ') - first + 1);
    if (!id.empty()) ids.push_back(id);
    start = end + 1;
  }
  return ids;
}

bool isIdChar(char c, const char* extra) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view(extra).find(c) != std::string_view::npos;
}

// Paths are in the ANSI code page; manifests are UTF-8.
std::string manifestText(const std::string& hostPath, const char* key,
                         const std::vector<std::string>& allowed) {
  std::string out = "{\n  \"name\": ";
  appendJsonUtf8String(kHostName, &out);
  out += ",\n  \"description\": \"Lumra document scanning host\",\n  \"path\": ";
  appendJsonString(ansiToWide(hostPath), &out);
  out += ",\n  \"type\": \"stdio\",\n  \"";
  out += key;
  out += "\": [";
  for (size_t i = 0; i < allowed.size(); ++i) {
    if (i > 0) out += ", ";
    appendJsonUtf8String(allowed[i], &out);
  }
  out += "]\n}\n";
  return out;
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (file) return true;
  std::fprintf(stderr, "lumra-scan manifests: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace

bool isChromeExtensionId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

bool isFirefoxExtensionId(const std::string& id) {
  if (id.size() == 38 && id.front() == '{' && id.back() == '}') {
    for (size_t i = 1; i + 1 < id.size(); ++i) {
      const char c = id[i];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-')) {
        return false;
      }
    }
    return true;
  }
  const size_t at = id.rfind('@');
  if (at == std::string::npos || at + 1 == id.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    if (i != at && !isIdChar(id[i], i < at ? "._+-" : "._-")) return false;
  }
  return true;
}

int runManifestsVerb(const std::vector<std::string>& args) {
  std::string chromeList = kSampleExtensionId, firefoxList, folder = executableFolder();
  std::string host = joinPath(executableFolder(), std::string("lumra-scan-host") + kProgramSuffix);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string* target = arg == "--extension-ids" ? &chromeList
                          : arg == "--firefox-ids" ? &firefoxList
                          : arg == "--folder"      ? &folder
                          : arg == "--host"        ? &host
                                                   : nullptr;
    if (target == nullptr) return usage("unknown argument \"" + arg + "\"");
    if (i + 1 >= args.size()) return usage(arg + " needs a value");
    *target = args[++i];
  }
  std::vector<std::string> origins, firefoxIds = splitIds(firefoxList);
  for (const std::string& id : splitIds(chromeList)) {
    if (!isChromeExtensionId(id)) {
      return usage("\"" + id + "\" is not a Chrome extension id (32 letters a-p)");
    }
    origins.push_back("chrome-extension://" + id + "/");
  }
  if (origins.empty()) return usage("no Chrome extension id given");
  for (const std::string& id : firefoxIds) {
    if (!isFirefoxExtensionId(id)) {
      return usage("\"" + id + "\" is not a Firefox extension id (name@domain or {uuid})");
    }
  }
  if (folder.empty()) return usage("no folder to write into");

  const std::string chromePath = joinPath(folder, std::string(kHostName) + ".json");
  const std::string firefoxPath = joinPath(folder, std::string(kHostName) + ".firefox.json");
  if (!writeText(chromePath, manifestText(host, "allowed_origins", origins))) return 1;
  if (firefoxIds.empty()) {
    std::remove(firefoxPath.c_str());
    return 0;
  }
  return writeText(firefoxPath, manifestText(host, "allowed_extensions", firefoxIds)) ? 0 : 1;
}

}  // namespace lumra
