// The lumra-scan verbs that talk to the host: list, scan, remove, raw.
// Each takes the arguments after its verb and returns the exit status:
// 0 success, 1 the host answered "error", 2 bad usage, 3 the host could not
// be run or answered nonsense.
#pragma once

#include <string>
#include <vector>

#include "json/json.h"

namespace lumra {

int runListVerb(const std::vector<std::string>& args);
/// `caps`: what a scanner offers, one line each.
int runCapsVerb(const std::vector<std::string>& args);
int runScanVerb(const std::vector<std::string>& args);
int runRemoveVerb(const std::vector<std::string>& args);
int runRawVerb(const std::vector<std::string>& args);

extern const char kListHelp[];
extern const char kCapsHelp[];
extern const char kScanHelp[];
extern const char kRemoveHelp[];
extern const char kRawHelp[];

/// The scan request the options describe, or false with `err` set for a bad
/// option. `outDir` receives --out (default ".").
bool buildScanRequest(const std::vector<std::string>& args, const std::string& messageId,
                      std::string* request, std::string* outDir, std::string* err);

/// Replaces every "content" and "part" string longer than 80 characters by a
/// short note of its length, so an answer can be printed.
void elideLongStrings(JsonValue* value);

}  // namespace lumra
