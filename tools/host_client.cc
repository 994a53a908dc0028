#include "tools/host_client.h"

#include <cstdint>

#include <utf8.h>

#include "platform/paths.h"

namespace lumra {

std::string defaultHostPath() {
  return executableFolder() + "lumra-scan-host" + kProgramSuffix;
}

bool HostClient::start(const std::string& hostPath, std::string* err) {
  ChildOptions options;
  options.shareStderr = true;
  started_ = child_.start(hostPath.empty() ? defaultHostPath() : hostPath, options, err);
  return started_;
}

bool HostClient::exchange(std::string_view request, std::string* answer, std::string* err,
                          const std::function<void(const JsonValue&)>& onProgress) {
  if (!child_.writeFrame(request)) {
    *err = "the host does not take requests (it has ended)";
    return false;
  }
  for (;;) {
    std::string why;
    if (!child_.readFrame(answer, -1, &why)) {
      *err = "no whole answer from the host: " + why;
      return false;
    }
    // A progress frame is small and has no "status"; answers always have one.
    if (answer->size() > 4096 || answer->find("\"progress\":{") == std::string::npos) return true;
    std::string ignored;
    auto frame = parseAnswer(*answer, &ignored);
    const JsonValue* progress = frame != nullptr ? frame->find(u"progress") : nullptr;
    if (progress == nullptr || !progress->isObject() || frame->find(u"status") != nullptr) {
      return true;
    }
    if (onProgress) onProgress(*progress);
  }
}

int HostClient::finish() {
  if (!started_) return -1;
  child_.closeStdin();
  started_ = false;
  ExitStatus status;
  return child_.waitExit(-1, &status) && status.exited ? status.code : -1;
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    utf8::unchecked::append(c, std::back_inserter(out));
  }
  return out;
}

bool toUtf16(std::string_view text, std::u16string* out) {
  if (!utf8::is_valid(text.begin(), text.end())) return false;
  out->clear();
  out->reserve(text.size());
  utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(*out));
  return true;
}

std::unique_ptr<JsonValue> parseAnswer(std::string_view utf8, std::string* err) {
  std::u16string wide;
  if (!toUtf16(utf8, &wide)) {
    *err = "the answer is not valid UTF-8";
    return nullptr;
  }
  auto root = parseJson(wide);
  if (root == nullptr || !root->isObject()) {
    *err = "the answer is not a JSON object";
    return nullptr;
  }
  return root;
}

std::u16string stringMember(const JsonValue* object, std::u16string_view key) {
  if (object == nullptr) return {};
  const JsonValue* value = object->find(key);
  return value != nullptr && value->isString() ? value->asString() : std::u16string();
}

bool decodeBase64(std::u16string_view text, std::string* out) {
  auto value = [](char16_t c) -> int {
    if (c >= u'A' && c <= u'Z') return c - u'A';
    if (c >= u'a' && c <= u'z') return c - u'a' + 26;
    if (c >= u'0' && c <= u'9') return c - u'0' + 52;
    if (c == u'+') return 62;
    if (c == u'/') return 63;
    return -1;
  };
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == u'=' && padding < 2) {
    --end;
    ++padding;
  }
  if ((end + padding) % 4 != 0 && padding != 0) return false;
  if (end % 4 == 1) return false;
  out->clear();
  out->reserve(end / 4 * 3 + 2);
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < end; ++i) {
    int v = value(text[i]);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      out->push_back(static_cast<char>((bits >> 16) & 0xFF));
      out->push_back(static_cast<char>((bits >> 8) & 0xFF));
      out->push_back(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out->push_back(static_cast<char>((bits >> 4) & 0xFF));
  } else if (count == 3) {
    out->push_back(static_cast<char>((bits >> 10) & 0xFF));
    out->push_back(static_cast<char>((bits >> 2) & 0xFF));
  }
  return true;
}

}  // namespace lumra
