#include "processing/answers.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "log/log.h"
#include "platform/file_length.h"
#include "platform/text.h"
#include "processing/page_payloads.h"
#include "processing/request_fields.h"
#include "processing/split_registry.h"

namespace lumra {
namespace {

constexpr std::u16string_view kNativeDestination = u"lumraImageScanningNative";
constexpr std::u16string_view kWebExtDestination = u"lumraImageScanningWebExt";

// Everything of the request and the outcome that the answer shows.
struct AnswerInput {
  bool hasMessageId = false, hasContentId = false, hasDestination = false, hasCommand = false,
       hasWorkingDirectory = false, hasClientLogin = false, hasClientIp = false,
       hasIsDsm2 = false, hasScannerId = false;
  std::u16string messageId, contentId, destination, command, workingDirectory, clientLogin,
      clientIp;
  bool isDsm2 = false;
  uint32_t scannerId = 0;

  bool hasDpi = false, hasTimeout = false, hasColor = false, hasFeeder = false,
       hasDuplex = false, hasShowUI = false, hasType = false, hasQuality = false;
  uint32_t dpi = 0, timeout = 0, quality = 0;
  std::u16string color, type;
  bool feeder = false, duplex = false, showUI = false;

  uint32_t code = 0;
  const std::u16string* status = nullptr;
  const std::u16string* description = nullptr;
  const std::vector<std::string>* pages = nullptr;
  const ScannerList* scanners = nullptr;
  const SourceCapabilities* capabilities = nullptr;
  bool last = true;
};

void readInput(const JsonValue* r, AnswerInput* in) {
  in->hasMessageId = getMessageId(r, &in->messageId);
  in->hasContentId = getContentId(r, &in->contentId);
  std::u16string destination;
  in->hasDestination = getDestination(r, &destination) && destination == kNativeDestination;
  in->hasCommand = getCommand(r, &in->command);
  in->hasWorkingDirectory = getWorkingDirectory(r, &in->workingDirectory);
  in->hasClientLogin = getClientLogin(r, &in->clientLogin);
  in->hasClientIp = getClientIp(r, &in->clientIp);
  in->hasIsDsm2 = getIsDsm2(r, &in->isDsm2);
  in->hasScannerId = getScannerId(r, &in->scannerId);
  in->hasDpi = getDpi(r, &in->dpi);
  in->hasTimeout = getTimeout(r, &in->timeout);
  in->hasColor = getColor(r, &in->color);
  in->hasFeeder = getFeeder(r, &in->feeder);
  in->hasDuplex = getDuplex(r, &in->duplex);
  in->hasShowUI = getShowUI(r, &in->showUI);
  in->hasType = getType(r, &in->type);
  in->hasQuality = getQuality(r, &in->quality);
}

// Writes the members of one object in the order the caller gives (the
// callers give ascending key order, which is the writer's order).
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string* out) : out_(out) { out_->push_back('{'); }
  void key(std::string_view name) {
    if (!first_) out_->push_back(',');
    first_ = false;
    out_->push_back('"');
    out_->append(name);
    out_->append("\":", 2);
  }
  void string(std::string_view name, const std::u16string& value) {
    key(name);
    appendJsonString(value, out_);
  }
  void number(std::string_view name, uint32_t value) {
    key(name);
    char buffer[16];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_->append(buffer, static_cast<size_t>(result.ptr - buffer));
  }
  void boolean(std::string_view name, bool value) {
    key(name);
    out_->append(value ? "true" : "false");
  }
  void decimal(std::string_view name, double value) {
    key(name);
    appendDecimal(value, out_);
  }
  void end() { out_->push_back('}'); }

  /// The shortest text that reads back as `value` ("8.27", "300").
  static void appendDecimal(double value, std::string* out) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, static_cast<size_t>(result.ptr - buffer));
  }

 private:
  std::string* out_;
  bool first_ = true;
};

// The pages are most of a page answer: room for them at once, so the text
// is never moved while it grows. Never more than the budget, which is all
// the answer may hold anyway; only address space until pages are read into
// it; and a room that cannot be had is only slower.
void reservePages(const std::vector<std::string>& paths, uint64_t budget, std::string* out) {
  uint64_t bytes = 0;
  for (const std::string& path : paths) {
    int64_t size = fileLengthAt(path);
    if (size >= 0 && static_cast<uint64_t>(size) <= kMaxPageFileBytes) bytes += size;
  }
  uint64_t chars = (bytes + 2) / 3 * 4;
  uint64_t wanted = out->size() + chars + chars / 32 + 128 * paths.size() + 1024;
  try {
    out->reserve(static_cast<size_t>(std::min(wanted, budget)));
  } catch (const std::bad_alloc&) {
  }
}

bool isSplitCommand(const std::u16string& command) {
  return command == u"scannerSplitProcessing" || command == u"filesSplitProcessing";
}

// "capabilities": members in key order, each only when the source told it.
void writeCapabilities(const SourceCapabilities& caps, ObjectWriter* root, std::string* out) {
  root->key("capabilities");
  ObjectWriter object(out);
  if (!caps.colors.empty()) {
    object.key("colors");
    out->push_back('[');
    for (size_t i = 0; i < caps.colors.size(); ++i) {
      if (i != 0) out->push_back(',');
      appendJsonString(caps.colors[i], out);
    }
    out->push_back(']');
  }
  if (caps.duplex) object.boolean("duplex", *caps.duplex);
  if (caps.feeder) object.boolean("feeder", *caps.feeder);
  if (caps.width && caps.height) {
    object.key("pageSize");
    ObjectWriter size(out);
    size.decimal("height", *caps.height);
    size.decimal("width", *caps.width);
    size.end();
  }
  if (caps.resolutions) {
    const CapabilityValues& dpi = *caps.resolutions;
    object.key("resolutions");
    if (dpi.isRange) {
      ObjectWriter range(out);
      range.decimal("max", dpi.max);
      range.decimal("min", dpi.min);
      range.decimal("step", dpi.step);
      range.end();
    } else {
      out->push_back('[');
      for (size_t i = 0; i < dpi.items.size(); ++i) {
        if (i != 0) out->push_back(',');
        ObjectWriter::appendDecimal(dpi.items[i], out);
      }
      out->push_back(']');
    }
  }
  if (caps.showUI) object.boolean("showUI", *caps.showUI);
  object.end();
}

// One answer object. `buildPages`: page items are made (files read and
// deleted); `part`: the split slice to carry, or nullptr.
void writeAnswer(const AnswerInput& in, bool buildPages, const std::string_view* part,
                 bool partIsLast, std::string* out) {
  const std::u16string& command = in.command;
  const bool pageCommand = command == u"scannerProcessing" ||
                           command == u"scannerProcessingSocketPartSend" ||
                           (buildPages && isSplitCommand(command));
  const bool fileCommand = command == u"scannerProcessingFiles";

  ObjectWriter root(out);
  if (in.capabilities != nullptr) writeCapabilities(*in.capabilities, &root, out);
  if (in.hasClientIp) root.string("clientIp", in.clientIp);
  if (in.hasClientLogin) root.string("clientLogin", in.clientLogin);
  if (in.hasCommand) root.string("command", in.command);
  if (in.hasContentId) root.string("contentId", in.contentId);
  if (in.hasDestination) root.string("destination", std::u16string(kWebExtDestination));
  if (fileCommand && !in.pages->empty()) {
    root.key("files");
    out->push_back('[');
    bool first = true;
    for (const std::string& path : *in.pages) {
      if (!first) out->push_back(',');
      first = false;
      ObjectWriter item(out);
      item.string("fileName", ansiToWide(path));
      item.end();
    }
    out->push_back(']');
  }
  if (in.hasIsDsm2) root.boolean("isDsm2", in.isDsm2);
  if (command == u"scannerProcessingSocketPartSend") root.boolean("last", in.last);
  if (in.hasMessageId) root.string("messageId", in.messageId);
  if (pageCommand && !in.pages->empty()) {
    root.key("pages");
    out->push_back('[');
    uint32_t counter = 1;
    const uint64_t budget = answerBudgetBytes();
    reservePages(*in.pages, budget, out);
    for (const std::string& path : *in.pages) createItemPage(path, out, &counter, budget);
    out->push_back(']');
  }
  if (in.hasScannerId) root.number("scannerId", in.scannerId);
  if (!in.scanners->empty()) {
    root.key("scanners");
    out->push_back('[');
    bool first = true;
    for (const auto& [id, name] : *in.scanners) {
      if (!first) out->push_back(',');
      first = false;
      ObjectWriter item(out);
      item.number("scannerId", id);
      item.string("scannerName", name);
      item.end();
    }
    out->push_back(']');
  }
  if (in.hasColor || in.hasDpi || in.hasDuplex || in.hasFeeder || in.hasType || in.hasQuality ||
      in.hasShowUI || in.hasTimeout) {
    root.key("settings");
    ObjectWriter settings(out);
    if (in.hasColor) settings.string("color", in.color);
    if (in.hasDpi) settings.number("dpi", in.dpi);
    if (in.hasDuplex) settings.boolean("duplex", in.duplex);
    if (in.hasFeeder) settings.boolean("feeder", in.feeder);
    if (in.hasQuality || in.hasType) {
      settings.key("format");
      ObjectWriter format(out);
      if (in.hasQuality) format.number("quality", in.quality);
      if (in.hasType) format.string("type", in.type);
      format.end();
    }
    if (in.hasShowUI) settings.boolean("showUI", in.showUI);
    if (in.hasTimeout) settings.number("timeout", in.timeout);
    settings.end();
  }
  if (part != nullptr) {
    root.key("split");
    ObjectWriter split(out);
    split.boolean("last", partIsLast);
    split.key("part");
    appendJsonUtf8String(*part, out);
    split.end();
  }
  // "status" always has a member: "result" unless the status is empty,
  // and then "code".
  root.key("status");
  ObjectWriter status(out);
  if (*in.status != u"success") status.number("code", in.code);
  if (!in.description->empty()) status.string("description", *in.description);
  if (!in.status->empty()) status.string("result", *in.status);
  status.end();
  if (in.hasWorkingDirectory) root.string("workingDirectory", in.workingDirectory);
  root.end();
}

}  // namespace

std::string fileExtensionOf(const std::string& path) {
  size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string("unknow") : path.substr(dot + 1);
}

void createItemPage(const std::string& path, std::string* pagesText, uint32_t* counter,
                    uint64_t limit) {
  if (!pagesText->empty() && pagesText->back() != '[') pagesText->push_back(',');
  size_t start = pagesText->size();
  pagesText->append("{\"content\":\"");
  if (appendFileBase64Json(path, pagesText, limit)) {
    pagesText->append("\",\"number\":");
    char buffer[16];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, *counter);
    pagesText->append(buffer, static_cast<size_t>(result.ptr - buffer));
    pagesText->append(",\"type\":");
    appendJsonString(ansiToWide(fileExtensionOf(path)), pagesText);
    pagesText->push_back('}');
  } else {
    pagesText->resize(start);
    ObjectWriter item(pagesText);
    item.string("description", u"Error create page");
    item.number("number", *counter);
    item.end();
  }
  if (removeFile(path) != 0) {
    LUMRA_LOG_AS(error, "createItemPage") << "Error delete file " << path;
  }
  ++*counter;
}

void createAnswer(const JsonValue* request, uint32_t requestLength, uint32_t code,
                  const std::u16string& status, const std::u16string& description,
                  const std::vector<std::string>& pages, const ScannerList& scanners, bool last,
                  std::string* out, const SourceCapabilities* capabilities) {
  AnswerInput in;
  readInput(request, &in);
  in.code = code;
  in.status = &status;
  in.description = &description;
  in.pages = &pages;
  in.scanners = &scanners;
  in.capabilities = capabilities;
  in.last = last;

  out->clear();
  if (!isSplitCommand(in.command)) {
    writeAnswer(in, true, nullptr, false, out);
    return;
  }
  // An absent messageId keys the series by the empty text.
  SplitRegistry& registry = SplitRegistry::instance();
  if (!registry.contains(in.messageId)) {
    std::string full;
    writeAnswer(in, true, nullptr, false, &full);
    registry.store(in.messageId, std::move(full));
  }
  LUMRA_LOG_AS(debug, "createAnswer") << "Create split message for messageId = " << in.messageId;
  // The slice leaves the registry only once its answer is built.
  std::string_view part = registry.peek(in.messageId, splitSliceBytes(requestLength));
  const bool empty = part.size() == registry.remaining(in.messageId);
  writeAnswer(in, false, &part, empty, out);
  bool gone = false;
  registry.advance(in.messageId, part.size(), &gone);
  if (empty) {
    LUMRA_LOG_AS(debug, "createAnswer") << "Ended split message for messageId = " << in.messageId;
    registry.erase(in.messageId);
  }
}

}  // namespace lumra
