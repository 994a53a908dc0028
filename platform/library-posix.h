// Internal to platform/: how LoadLibraryA names map to shared objects here.
#pragma once

#include <string>
#include <string_view>

namespace lumra::platform {

/// The shared object name for a Windows module name: "TWAINDSM.DLL" ->
/// "libtwaindsm.so", "TWAIN_32.DLL" -> "libtwain_32.so" (any letter case);
/// every other name is returned as it stands.
std::string mapModuleName(std::string_view name);

}  // namespace lumra::platform
