// The request format: the only way any part of the host reads a request.
// Every reader gives false, leaving its output untouched, when the request is
// null or not an object, when the key (or an enclosing "settings"/"format")
// is absent, or when the value has another kind.
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"

namespace lumra {

/// A JSON number as the host reads it: truncated toward zero to a 64-bit
/// integer whose low 32 bits are taken (300.7 → 300, -1 → 4294967295).
uint32_t requestNumberToUint32(double value);

/// "settings" object.
bool getSettings(const JsonValue* request, const JsonObject** out);
/// "settings"."format" object.
bool getFormat(const JsonValue* request, const JsonObject** out);
/// "files" array.
bool getFiles(const JsonValue* request, const JsonArray** out);

bool getMessageId(const JsonValue* request, std::u16string* out);
bool getContentId(const JsonValue* request, std::u16string* out);
bool getDestination(const JsonValue* request, std::u16string* out);
bool getCommand(const JsonValue* request, std::u16string* out);
bool getWorkingDirectory(const JsonValue* request, std::u16string* out);
bool getIsDsm2(const JsonValue* request, bool* out);
bool getScannerId(const JsonValue* request, uint32_t* out);
bool getClientLogin(const JsonValue* request, std::u16string* out);
bool getClientIp(const JsonValue* request, std::u16string* out);

/// Members of "settings".
bool getDpi(const JsonValue* request, uint32_t* out);
bool getTimeout(const JsonValue* request, uint32_t* out);
bool getColor(const JsonValue* request, std::u16string* out);
bool getFeeder(const JsonValue* request, bool* out);
bool getDuplex(const JsonValue* request, bool* out);
bool getShowUI(const JsonValue* request, bool* out);

/// Members of "settings"."format".
bool getType(const JsonValue* request, std::u16string* out);
bool getQuality(const JsonValue* request, uint32_t* out);

}  // namespace lumra
