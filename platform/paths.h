// Path conventions that differ between the platforms, and where our own
// programs lie.
#pragma once

#include <string>
#include <vector>

namespace lumra {

#ifdef _WIN32
/// Separator appended to folders ("\" on Windows).
inline constexpr char kPathSeparator = '\\';
/// Suffix of a program's file name.
inline constexpr const char* kProgramSuffix = ".exe";
/// Where drivers for the published TWAIN manager are installed, for our
/// manager to look after its own folder. None on Windows, where our manager
/// only serves tests and must not meet the machine's real drivers.
inline constexpr const char* kSystemTwainSources = "";
#else
/// Separator appended to folders ("/" on POSIX).
inline constexpr char kPathSeparator = '/';
/// Suffix of a program's file name.
inline constexpr const char* kProgramSuffix = "";
/// Where drivers for the published TWAIN manager are installed, for our
/// manager to look after its own folder.
inline constexpr const char* kSystemTwainSources = "/usr/local/lib/twain";
#endif

/// Name of the folder of its own that the host keeps in the user's temp
/// folder: "lumra-<uid>" on POSIX, where temp folders are shared; "" on
/// Windows, where the user's temp folder is private already.
std::string privateTempFolderName();

/// Folder of the running executable, ending in a separator; "" when it
/// cannot be read.
std::string executableFolder();

/// `folder` and `name` with one separator between them.
std::string joinPath(const std::string& folder, const std::string& name);

/// Creates `folder` and the folders above it that are missing; true when it
/// exists afterwards.
bool createFolders(const std::string& folder);

/// The regular files in `folder` and the folders below it, in name order;
/// folders that cannot be read are passed over.
std::vector<std::string> filesBelow(const std::string& folder);

}  // namespace lumra
