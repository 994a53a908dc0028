#include "tools/scan_commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>

#include "platform/paths.h"
#include "platform/std_streams.h"
#include "tools/host_client.h"

namespace lumra {

const char kListHelp[] =
    "usage: lumra-scan list [--twain1] [--verbose]\n"
    "  Lists the scanners the host finds, with the numbers --scanner takes.\n"
    "  --twain1   use the TWAIN 1 manager (isDsm2 false)\n"
    "  --verbose  print the request sent\n";

const char kCapsHelp[] =
    "usage: lumra-scan caps [--scanner N] [--twain1] [--verbose]\n"
    "  Prints what a scanner offers: resolutions, colour modes, feeder, duplex,\n"
    "  whether its dialog can stay hidden, and its largest page.\n"
    "  --scanner N  scanner number from `lumra-scan list` (default: default source)\n"
    "  --twain1     use the TWAIN 1 manager (isDsm2 false)\n"
    "  --verbose    print the request sent\n";

const char kScanHelp[] =
    "usage: lumra-scan scan [options]\n"
    "  Runs one scan job and writes the pages it receives.\n"
    "  --scanner N          scanner number from `lumra-scan list` (default: default source)\n"
    "  --dpi N              resolution, both axes\n"
    "  --color bw|gray|color\n"
    "  --feeder             use the document feeder\n"
    "  --duplex             scan both sides\n"
    "  --show-ui            show the scanner's own dialog\n"
    "  --format NAME        jpg, png, tif, bmp, gif, ... (default jpg); pdf: one PDF\n"
    "                       for the whole job\n"
    "  --multipage          with tif: one TIFF for the whole job\n"
    "  --quality N          JPEG quality\n"
    "  --timeout MS         wait for the scanner at most MS milliseconds\n"
    "  --working-dir DIR    folder where the host writes its page files\n"
    "  --as files|pages|split|socket\n"
    "                       how the pages come back (default pages):\n"
    "                       files: paths of files left on disk; pages: Base64 in one answer;\n"
    "                       split: Base64 in slices fetched one by one; socket: as pages\n"
    "  --out DIR            where received pages are written, as page_N.EXT with N\n"
    "                       counting from 1 (default .)\n"
    "  --twain1             use the TWAIN 1 manager (isDsm2 false)\n"
    "  --verbose            print the request sent\n";

const char kRemoveHelp[] =
    "usage: lumra-scan remove [--verbose] FILE...\n"
    "  Asks the host to delete page files.\n";

const char kRawHelp[] =
    "usage: lumra-scan raw [--full] JSON\n"
    "  Sends one request as it stands and prints the answer. Long Base64 texts\n"
    "  are shortened unless --full is given.\n";

namespace {

constexpr int kOk = 0;
constexpr int kHostError = 1;
constexpr int kUsage = 2;
constexpr int kFailure = 3;

bool wantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

std::string newMessageId() {
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return "lumra-scan-" + std::to_string(now);
}

// Matches "--name=value" or "--name value"; `i` moves past what was used.
// A matching option without its value sets `*missing`.
bool takeValue(const std::vector<std::string>& args, size_t* i, const std::string& name,
               std::string* value, bool* missing) {
  const std::string& a = args[*i];
  *missing = false;
  if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0) {
    *value = a.substr(name.size() + 1);
    return true;
  }
  if (a != name) return false;
  if (*i + 1 >= args.size()) {
    *missing = true;
    return true;
  }
  *value = args[++*i];
  return true;
}

bool parseNumber(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<double>(v);
  return true;
}

std::u16string wideOf(const std::string& utf8) {
  std::u16string out;
  if (!toUtf16(utf8, &out)) {
    // Arguments are UTF-8 here; anything else is kept byte by byte.
    out.assign(utf8.begin(), utf8.end());
  }
  return out;
}

void put(JsonObject* object, const char16_t* key, JsonValue value) {
  (*object)[key] = std::make_unique<JsonValue>(std::move(value));
}

std::string textOf(const JsonValue* value) {
  return value != nullptr && value->isString() ? toUtf8(value->asString()) : std::string();
}

// Prints the "status" object and returns the exit status it means.
int reportStatus(const JsonValue& answer) {
  const JsonValue* status = answer.find(u"status");
  std::string result = textOf(status ? status->find(u"result") : nullptr);
  std::string description = textOf(status ? status->find(u"description") : nullptr);
  const JsonValue* code = status ? status->find(u"code") : nullptr;
  if (result == "success") {
    std::printf("result: success\n");
    return kOk;
  }
  std::string message = description.empty() ? "the host answered without success" : description;
  if (code != nullptr && code->isNumber()) {
    message += " (code " + std::to_string(static_cast<long long>(code->asNumber())) + ")";
  }
  std::printf("result: %s\n", result.empty() ? "(none)" : result.c_str());
  std::fprintf(stderr, "lumra-scan: %s\n", message.c_str());
  return kHostError;
}

// Writes the answer's page items into `outDir`; false when one could not be
// written (the others still are).
bool writePages(const JsonValue& answer, const std::string& outDir) {
  const JsonValue* pages = answer.find(u"pages");
  if (pages == nullptr || !pages->isArray()) return true;
  createFolders(outDir);
  bool ok = true;
  for (const auto& page : pages->asArray()) {
    const JsonValue* number = page->find(u"number");
    long long n = number != nullptr && number->isNumber() ? static_cast<long long>(number->asNumber()) : 0;
    const JsonValue* content = page->find(u"content");
    if (content == nullptr || !content->isString()) {
      std::printf("page %lld: %s\n", n, textOf(page->find(u"description")).c_str());
      continue;
    }
    std::string bytes;
    if (!decodeBase64(content->asString(), &bytes)) {
      std::printf("page %lld: content is not Base64\n", n);
      ok = false;
      continue;
    }
    std::string type = textOf(page->find(u"type"));
    std::string path = joinPath(outDir, "page_" + std::to_string(n) + (type.empty() ? "" : "." + type));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::printf("page %lld: cannot write %s\n", n, path.c_str());
      ok = false;
      continue;
    }
    std::printf("page %lld: %s, %zu bytes -> %s\n", n, type.c_str(), bytes.size(),
                path.c_str());
  }
  return ok;
}

void printFiles(const JsonValue& answer) {
  const JsonValue* files = answer.find(u"files");
  if (files == nullptr || !files->isArray()) return;
  for (const auto& file : files->asArray()) {
    std::printf("file: %s\n", textOf(file->find(u"fileName")).c_str());
  }
}

// Runs one request whose answer may be the first slice of a split series;
// the whole answer ends up in `full`.
// Prints a progress frame on standard error: one line per page, or on a
// terminal one line that counts up.
void printProgress(const JsonValue& progress) {
  const JsonValue* page = progress.find(u"page");
  const JsonValue* bytes = progress.find(u"bytes");
  const double n = page != nullptr && page->isNumber() ? page->asNumber() : 0;
  const double b = bytes != nullptr && bytes->isNumber() ? bytes->asNumber() : 0;
  if (stderrIsTerminal()) {
    std::fprintf(stderr, "\rscanning: %.0f page%s [%-20.*s]", n, n == 1 ? "" : "s",
                 static_cast<int>(n) % 21, "####################");
  } else {
    std::fprintf(stderr, "page %.0f saved, %.0f bytes\n", n, b);
  }
}

bool exchangeWhole(HostClient* host, const std::string& request, std::unique_ptr<JsonValue>* full,
                   std::string* err) {
  std::string answer;
  bool counted = false;
  if (!host->exchange(request, &answer, err, [&](const JsonValue& progress) {
        counted = true;
        printProgress(progress);
      })) {
    return false;
  }
  if (counted && stderrIsTerminal()) std::fputc('\n', stderr);
  auto root = parseAnswer(answer, err);
  if (root == nullptr) return false;
  const JsonValue* split = root->find(u"split");
  if (split == nullptr || !split->isObject()) {
    *full = std::move(root);
    return true;
  }
  std::string whole;
  size_t slices = 0;
  for (;;) {
    const JsonValue* part = split->find(u"part");
    const JsonValue* last = split->find(u"last");
    if (part == nullptr || !part->isString() || last == nullptr || !last->isBool()) {
      *err = "a split answer without its part";
      return false;
    }
    whole += toUtf8(part->asString());
    ++slices;
    if (last->asBool()) break;
    if (!host->exchange(request, &answer, err)) return false;
    root = parseAnswer(answer, err);
    if (root == nullptr) return false;
    split = root->find(u"split");
    if (split == nullptr || !split->isObject()) {
      *err = "the split series stopped before its last slice";
      return false;
    }
  }
  std::printf("split: %zu slice%s fetched with the same request, %zu bytes reassembled\n",
              slices, slices == 1 ? "" : "s", whole.size());
  *full = parseAnswer(whole, err);
  return *full != nullptr;
}

int fail(const std::string& err) {
  std::fprintf(stderr, "lumra-scan: %s\n", err.c_str());
  return kFailure;
}

int usage(const std::string& err, const char* help) {
  std::fprintf(stderr, "lumra-scan: %s\n%s", err.c_str(), help);
  return kUsage;
}

// Starts the host, sends `request`, and hands the whole answer to `handle`.
// Takes --verbose out of `args`; true when it was there.
bool takeVerbose(std::vector<std::string>* args) {
  bool verbose = false;
  for (auto it = args->begin(); it != args->end();) {
    if (*it == "--verbose" || *it == "-v") {
      verbose = true;
      it = args->erase(it);
    } else {
      ++it;
    }
  }
  return verbose;
}

int runOne(const std::string& request, bool verbose,
           const std::function<int(const JsonValue&)>& handle) {
  if (verbose) std::printf("request: %s\n", request.c_str());
  HostClient host;
  std::string err;
  if (!host.start("", &err)) return fail(err);
  std::unique_ptr<JsonValue> answer;
  bool ok = exchangeWhole(&host, request, &answer, &err);
  host.finish();
  if (!ok) return fail(err);
  return handle(*answer);
}

}  // namespace

bool buildScanRequest(const std::vector<std::string>& args, const std::string& messageId,
                      std::string* request, std::string* outDir, std::string* err) {
  JsonObject root;
  JsonObject settings;
  JsonObject format;
  std::string command = "scannerProcessing";
  *outDir = ".";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    double number = 0;
    auto needNumber = [&](const char* name) {
      if (!parseNumber(value, &number)) {
        *err = std::string(name) + " takes a whole number from 0 to 4294967295";
        return false;
      }
      return true;
    };
    bool noValue = false;
    auto missing = [&](const char* name) {
      if (noValue) *err = std::string(name) + " needs a value";
      return noValue;
    };
    if (takeValue(args, &i, "--scanner", &value, &noValue)) {
      if (missing("--scanner") || !needNumber("--scanner")) return false;
      put(&root, u"scannerId", JsonValue(number));
    } else if (takeValue(args, &i, "--dpi", &value, &noValue)) {
      if (missing("--dpi") || !needNumber("--dpi")) return false;
      put(&settings, u"dpi", JsonValue(number));
    } else if (takeValue(args, &i, "--timeout", &value, &noValue)) {
      if (missing("--timeout") || !needNumber("--timeout")) return false;
      put(&settings, u"timeout", JsonValue(number));
    } else if (takeValue(args, &i, "--quality", &value, &noValue)) {
      if (missing("--quality") || !needNumber("--quality")) return false;
      put(&format, u"quality", JsonValue(number));
    } else if (takeValue(args, &i, "--color", &value, &noValue)) {
      if (missing("--color")) return false;
      if (value != "bw" && value != "gray" && value != "color") {
        *err = "--color takes bw, gray or color";
        return false;
      }
      put(&settings, u"color", JsonValue(wideOf(value)));
    } else if (takeValue(args, &i, "--format", &value, &noValue)) {
      if (missing("--format")) return false;
      put(&format, u"type", JsonValue(wideOf(value)));
    } else if (takeValue(args, &i, "--working-dir", &value, &noValue)) {
      if (missing("--working-dir")) return false;
      put(&root, u"workingDirectory", JsonValue(wideOf(value)));
    } else if (takeValue(args, &i, "--out", &value, &noValue)) {
      if (missing("--out")) return false;
      *outDir = value;
    } else if (takeValue(args, &i, "--as", &value, &noValue)) {
      if (missing("--as")) return false;
      if (value == "files") {
        command = "scannerProcessingFiles";
      } else if (value == "pages") {
        command = "scannerProcessing";
      } else if (value == "split") {
        command = "scannerSplitProcessing";
      } else if (value == "socket") {
        command = "scannerProcessingSocketPartSend";
      } else {
        *err = "--as takes files, pages, split or socket";
        return false;
      }
    } else if (a == "--feeder") {
      put(&settings, u"feeder", JsonValue(true));
    } else if (a == "--duplex") {
      put(&settings, u"duplex", JsonValue(true));
    } else if (a == "--show-ui") {
      put(&settings, u"showUI", JsonValue(true));
    } else if (a == "--multipage") {
      put(&format, u"multipage", JsonValue(true));
    } else if (a == "--twain1") {
      put(&root, u"isDsm2", JsonValue(false));
    } else {
      *err = "unknown option " + a;
      return false;
    }
  }
  put(&root, u"messageId", JsonValue(wideOf(messageId)));
  put(&root, u"command", JsonValue(wideOf(command)));
  // A frame per page saved, printed as it comes.
  put(&root, u"progress", JsonValue(true));
  if (!format.empty()) put(&settings, u"format", JsonValue(std::move(format)));
  if (!settings.empty()) put(&root, u"settings", JsonValue(std::move(settings)));
  request->clear();
  stringifyUtf8(JsonValue(std::move(root)), request);
  return true;
}

void elideLongStrings(JsonValue* value) {
  if (value->isArray()) {
    for (auto& element : value->asArray()) elideLongStrings(element.get());
    return;
  }
  if (!value->isObject()) return;
  for (auto& [key, member] : value->asObject()) {
    if ((key == u"content" || key == u"part") && member->isString() &&
        member->asString().size() > 80) {
      std::string note = "<" + std::to_string(member->asString().size()) + " characters>";
      *member = JsonValue(wideOf(note));
    } else {
      elideLongStrings(member.get());
    }
  }
}

int runListVerb(const std::vector<std::string>& givenArgs) {
  std::vector<std::string> args = givenArgs;
  bool verbose = takeVerbose(&args);
  if (wantsHelp(args)) {
    std::printf("%s", kListHelp);
    return kOk;
  }
  JsonObject root;
  put(&root, u"messageId", JsonValue(wideOf(newMessageId())));
  put(&root, u"command", JsonValue(u"scannersList"));
  for (const auto& a : args) {
    if (a != "--twain1") return usage("unknown option " + a, kListHelp);
    put(&root, u"isDsm2", JsonValue(false));
  }
  std::string request;
  stringifyUtf8(JsonValue(std::move(root)), &request);
  return runOne(request, verbose, [](const JsonValue& answer) {
    int status = reportStatus(answer);
    const JsonValue* scanners = answer.find(u"scanners");
    if (scanners == nullptr || !scanners->isArray() || scanners->asArray().empty()) {
      if (status == kOk) std::printf("no scanners found\n");
      return status;
    }
    for (const auto& scanner : scanners->asArray()) {
      const JsonValue* id = scanner->find(u"scannerId");
      long long n = id != nullptr && id->isNumber() ? static_cast<long long>(id->asNumber()) : 0;
      std::printf("scanner %lld: %s\n", n, textOf(scanner->find(u"scannerName")).c_str());
    }
    return status;
  });
}

int runCapsVerb(const std::vector<std::string>& givenArgs) {
  std::vector<std::string> args = givenArgs;
  bool verbose = takeVerbose(&args);
  if (wantsHelp(args)) {
    std::printf("%s", kCapsHelp);
    return kOk;
  }
  JsonObject root;
  put(&root, u"messageId", JsonValue(wideOf(newMessageId())));
  put(&root, u"command", JsonValue(u"scannerCapabilities"));
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--twain1") {
      put(&root, u"isDsm2", JsonValue(false));
    } else if (args[i] == "--scanner" && i + 1 < args.size()) {
      char* end = nullptr;
      unsigned long n = std::strtoul(args[++i].c_str(), &end, 10);
      if (end == args[i].c_str() || *end != '\0') return usage("bad scanner number", kCapsHelp);
      put(&root, u"scannerId", JsonValue(static_cast<double>(n)));
    } else {
      return usage("unknown option " + args[i], kCapsHelp);
    }
  }
  std::string request;
  stringifyUtf8(JsonValue(std::move(root)), &request);
  return runOne(request, verbose, [](const JsonValue& answer) {
    int status = reportStatus(answer);
    const JsonValue* caps = answer.find(u"capabilities");
    if (caps == nullptr || !caps->isObject()) return status;
    auto number = [](const JsonValue* v) { return v != nullptr && v->isNumber() ? v->asNumber() : 0.0; };
    auto flag = [&](const char16_t* key, const char* label) {
      const JsonValue* v = caps->find(key);
      if (v != nullptr && v->isBool()) std::printf("%s: %s\n", label, v->asBool() ? "yes" : "no");
    };
    // "label: a, b, c" for an array of numbers or texts.
    auto list = [&](const char* label, const JsonValue& items) {
      std::printf("%s:", label);
      const char* sep = " ";
      for (const auto& item : items.asArray()) {
        if (item->isNumber()) std::printf("%s%g", sep, item->asNumber());
        else std::printf("%s%s", sep, textOf(item.get()).c_str());
        sep = ", ";
      }
      std::printf("\n");
    };
    if (const JsonValue* dpi = caps->find(u"resolutions")) {
      if (dpi->isArray()) {
        list("resolutions", *dpi);
      } else if (dpi->isObject()) {
        std::printf("resolutions: %g to %g, step %g\n", number(dpi->find(u"min")),
                    number(dpi->find(u"max")), number(dpi->find(u"step")));
      }
    }
    if (const JsonValue* colors = caps->find(u"colors"); colors != nullptr && colors->isArray()) {
      list("colors", *colors);
    }
    flag(u"feeder", "feeder");
    flag(u"duplex", "duplex");
    flag(u"showUI", "dialog can stay hidden");
    if (const JsonValue* size = caps->find(u"pageSize"); size != nullptr && size->isObject()) {
      std::printf("page size: %g x %g in\n", number(size->find(u"width")),
                  number(size->find(u"height")));
    }
    return status;
  });
}

int runScanVerb(const std::vector<std::string>& givenArgs) {
  std::vector<std::string> args = givenArgs;
  bool verbose = takeVerbose(&args);
  if (wantsHelp(args)) {
    std::printf("%s", kScanHelp);
    return kOk;
  }
  std::string request, outDir, err;
  if (!buildScanRequest(args, newMessageId(), &request, &outDir, &err)) {
    return usage(err, kScanHelp);
  }
  return runOne(request, verbose, [&](const JsonValue& answer) {
    int status = reportStatus(answer);
    printFiles(answer);
    if (!writePages(answer, outDir) && status == kOk) status = kFailure;
    return status;
  });
}

int runRemoveVerb(const std::vector<std::string>& givenArgs) {
  std::vector<std::string> args = givenArgs;
  bool verbose = takeVerbose(&args);
  if (wantsHelp(args)) {
    std::printf("%s", kRemoveHelp);
    return kOk;
  }
  if (args.empty()) return usage("name at least one file", kRemoveHelp);
  JsonArray files;
  for (const auto& name : args) {
    JsonObject item;
    put(&item, u"fileName", JsonValue(wideOf(name)));
    files.push_back(std::make_unique<JsonValue>(std::move(item)));
  }
  JsonObject root;
  put(&root, u"messageId", JsonValue(wideOf(newMessageId())));
  put(&root, u"command", JsonValue(u"removeFiles"));
  put(&root, u"files", JsonValue(std::move(files)));
  std::string request;
  stringifyUtf8(JsonValue(std::move(root)), &request);
  return runOne(request, verbose, [](const JsonValue& answer) { return reportStatus(answer); });
}

int runRawVerb(const std::vector<std::string>& args) {
  if (wantsHelp(args)) {
    std::printf("%s", kRawHelp);
    return kOk;
  }
  bool full = false;
  std::optional<std::string> request;
  for (const auto& a : args) {
    if (a == "--full") {
      full = true;
    } else if (!request) {
      request = a;
    } else {
      return usage("give the request as one argument", kRawHelp);
    }
  }
  if (!request) return usage("give the request to send", kRawHelp);
  HostClient host;
  std::string err, answer;
  if (!host.start("", &err)) return fail(err);
  bool ok = host.exchange(*request, &answer, &err);
  host.finish();
  if (!ok) return fail(err);
  auto root = parseAnswer(answer, &err);
  if (root == nullptr) {
    std::printf("%s\n", answer.c_str());
    return fail(err);
  }
  if (!full) elideLongStrings(root.get());
  std::string text;
  stringifyUtf8(*root, &text);
  std::printf("%s\n", text.c_str());
  const JsonValue* status = root->find(u"status");
  std::string result = textOf(status ? status->find(u"result") : nullptr);
  if (result == "error") {
    std::fprintf(stderr, "lumra-scan: %s\n",
                 textOf(status ? status->find(u"description") : nullptr).c_str());
    return kHostError;
  }
  return kOk;
}

}  // namespace lumra
