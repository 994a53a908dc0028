#include "platform/paths.h"

namespace lumra {

std::string PrivateTempFolderName() { return {}; }

}  // namespace lumra
