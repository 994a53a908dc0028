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

/// Top-level "messageId" (string): identifies the request and its split series.
bool getMessageId(const JsonValue* request, std::u16string* out);
/// Top-level "contentId" (string), echoed.
bool getContentId(const JsonValue* request, std::u16string* out);
/// Top-level "destination" (string).
bool getDestination(const JsonValue* request, std::u16string* out);
/// Top-level "command" (string).
bool getCommand(const JsonValue* request, std::u16string* out);
/// Top-level "workingDirectory" (string): folder for page files.
bool getWorkingDirectory(const JsonValue* request, std::u16string* out);
/// Top-level "isDsm2" (bool): TWAIN 2 manager or the older one.
bool getIsDsm2(const JsonValue* request, bool* out);
/// Top-level "progress" (bool): the caller wants a frame per page saved.
bool getProgress(const JsonValue* request, bool* out);
/// Top-level "scannerId" (number, truncated to 32 bits).
bool getScannerId(const JsonValue* request, uint32_t* out);
/// Top-level "clientLogin" (string), echoed.
bool getClientLogin(const JsonValue* request, std::u16string* out);
/// Top-level "clientIp" (string), echoed.
bool getClientIp(const JsonValue* request, std::u16string* out);

/// "settings"."dpi" (number).
bool getDpi(const JsonValue* request, uint32_t* out);
/// "settings"."timeout" (number, milliseconds).
bool getTimeout(const JsonValue* request, uint32_t* out);
/// "settings"."color" (string).
bool getColor(const JsonValue* request, std::u16string* out);
/// "settings"."feeder" (bool).
bool getFeeder(const JsonValue* request, bool* out);
/// "settings"."duplex" (bool).
bool getDuplex(const JsonValue* request, bool* out);
/// "settings"."showUI" (bool).
bool getShowUI(const JsonValue* request, bool* out);

/// "settings"."format"."type" (string): the page format name.
bool getType(const JsonValue* request, std::u16string* out);
/// "settings"."format"."quality" (number).
bool getQuality(const JsonValue* request, uint32_t* out);
/// "settings"."format"."multipage" (bool): one file for all pages.
bool getMultipage(const JsonValue* request, bool* out);

}  // namespace lumra
