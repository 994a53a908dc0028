#include "processing/request_fields.h"

#include <cmath>

namespace lumra {
namespace {

const JsonValue* member(const JsonValue* object, std::u16string_view key) {
  if (object == nullptr) return nullptr;
  return object->find(key);  // nullptr when not an object
}

const JsonValue* settingsMember(const JsonValue* request, std::u16string_view key) {
  const JsonValue* settings = member(request, u"settings");
  return settings && settings->isObject() ? member(settings, key) : nullptr;
}

const JsonValue* formatMember(const JsonValue* request, std::u16string_view key) {
  const JsonValue* format = settingsMember(request, u"format");
  return format && format->isObject() ? member(format, key) : nullptr;
}

bool readString(const JsonValue* value, std::u16string* out) {
  if (value == nullptr || !value->isString()) return false;
  *out = value->asString();
  return true;
}

bool readBool(const JsonValue* value, bool* out) {
  if (value == nullptr || !value->isBool()) return false;
  *out = value->asBool();
  return true;
}

bool readNumber(const JsonValue* value, uint32_t* out) {
  if (value == nullptr || !value->isNumber()) return false;
  *out = requestNumberToUint32(value->asNumber());
  return true;
}

}  // namespace

uint32_t requestNumberToUint32(double value) {
  // Outside the 64-bit range (and for NaN) C++ leaves the conversion
  // undefined; x86-64 gives 0x8000000000000000 there, whose low bits are 0.
  if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(std::trunc(value))));
}

bool getSettings(const JsonValue* request, const JsonObject** out) {
  const JsonValue* value = member(request, u"settings");
  if (value == nullptr || !value->isObject()) return false;
  *out = &value->asObject();
  return true;
}

bool getFormat(const JsonValue* request, const JsonObject** out) {
  const JsonValue* value = settingsMember(request, u"format");
  if (value == nullptr || !value->isObject()) return false;
  *out = &value->asObject();
  return true;
}

bool getFiles(const JsonValue* request, const JsonArray** out) {
  const JsonValue* value = member(request, u"files");
  if (value == nullptr || !value->isArray()) return false;
  *out = &value->asArray();
  return true;
}

bool getMessageId(const JsonValue* r, std::u16string* out) { return readString(member(r, u"messageId"), out); }
bool getContentId(const JsonValue* r, std::u16string* out) { return readString(member(r, u"contentId"), out); }
bool getDestination(const JsonValue* r, std::u16string* out) { return readString(member(r, u"destination"), out); }
bool getCommand(const JsonValue* r, std::u16string* out) { return readString(member(r, u"command"), out); }
bool getWorkingDirectory(const JsonValue* r, std::u16string* out) {
  return readString(member(r, u"workingDirectory"), out);
}
bool getIsDsm2(const JsonValue* r, bool* out) { return readBool(member(r, u"isDsm2"), out); }
bool getProgress(const JsonValue* r, bool* out) { return readBool(member(r, u"progress"), out); }
bool getScannerId(const JsonValue* r, uint32_t* out) { return readNumber(member(r, u"scannerId"), out); }
bool getClientLogin(const JsonValue* r, std::u16string* out) { return readString(member(r, u"clientLogin"), out); }
bool getClientIp(const JsonValue* r, std::u16string* out) { return readString(member(r, u"clientIp"), out); }

bool getDpi(const JsonValue* r, uint32_t* out) { return readNumber(settingsMember(r, u"dpi"), out); }
bool getTimeout(const JsonValue* r, uint32_t* out) { return readNumber(settingsMember(r, u"timeout"), out); }
bool getColor(const JsonValue* r, std::u16string* out) { return readString(settingsMember(r, u"color"), out); }
bool getFeeder(const JsonValue* r, bool* out) { return readBool(settingsMember(r, u"feeder"), out); }
bool getDuplex(const JsonValue* r, bool* out) { return readBool(settingsMember(r, u"duplex"), out); }
bool getShowUI(const JsonValue* r, bool* out) { return readBool(settingsMember(r, u"showUI"), out); }

bool getType(const JsonValue* r, std::u16string* out) { return readString(formatMember(r, u"type"), out); }
bool getQuality(const JsonValue* r, uint32_t* out) { return readNumber(formatMember(r, u"quality"), out); }
bool getMultipage(const JsonValue* r, bool* out) { return readBool(formatMember(r, u"multipage"), out); }

}  // namespace lumra
