// The lumra-scan verbs that talk to the host: list, scan, remove, raw.
// Each takes the arguments after its verb and returns the exit status:
// 0 success, 1 the host answered "error", 2 bad usage, 3 the host could not
// be run or answered nonsense.
#pragma once

#include <string>
#include <vector>

#include "json/json.h"

namespace lumra {

int RunListVerb(const std::vector<std::string>& args);
/// `caps`: what a scanner offers, one line each.
int RunCapsVerb(const std::vector<std::string>& args);
int RunScanVerb(const std::vector<std::string>& args);
int RunRemoveVerb(const std::vector<std::string>& args);
int RunRawVerb(const std::vector<std::string>& args);

extern const char kListHelp[];
extern const char kCapsHelp[];
extern const char kScanHelp[];
extern const char kRemoveHelp[];
extern const char kRawHelp[];

/// The scan request the options describe, or false with `err` set for a bad
/// option. `outDir` receives --out (default ".").
bool BuildScanRequest(const std::vector<std::string>& args, const std::string& messageId,
                      std::string* request, std::string* outDir, std::string* err);

/// Replaces every "content" and "part" string longer than 80 characters by a
/// short note of its length, so an answer can be printed.
void ElideLongStrings(JsonValue* value);

}  // namespace lumra
