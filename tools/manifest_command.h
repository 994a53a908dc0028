// lumra-scan manifests: writes the browsers' native-messaging manifests of
// the host. The Windows installer runs it with the extension ids it was given.
#pragma once

#include <string>
#include <vector>

namespace lumra {

/// Runs `manifests` with the arguments after the verb. Exit status: 0
/// written, 1 a file could not be written, 2 bad usage or a wrong id.
/// Messages go to standard error.
int runManifestsVerb(const std::vector<std::string>& args);

/// True when `id` is a Chrome extension id (32 letters a-p).
bool isChromeExtensionId(const std::string& id);
/// True when `id` is a Firefox extension id (name@domain or {uuid}).
bool isFirefoxExtensionId(const std::string& id);

extern const char kManifestsHelp[];

}  // namespace lumra
