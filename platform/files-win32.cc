#include "platform/paths.h"

namespace lumra {

std::string privateTempFolderName() { return {}; }

}  // namespace lumra
