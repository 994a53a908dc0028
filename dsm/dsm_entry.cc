// The manager's one export. LUMRA_DSM_TWAIN2 picks the variant: 1 builds
// libtwaindsm (TWAIN 2), 0 builds libtwain_32 (TWAIN 1).
#include <string>

#include "dsm/manager.h"

namespace {

#if LUMRA_DSM_TWAIN2
constexpr bool kTwain2 = true;
constexpr const char* kModuleName = "TWAINDSM.DLL";
#else
constexpr bool kTwain2 = false;
constexpr const char* kModuleName = "TWAIN_32.DLL";
#endif

lumra::dsm::Manager& manager() {
  static lumra::dsm::Manager instance(kTwain2,
                                      lumra::dsm::Manager::defaultSourceFolders(kModuleName));
  return instance;
}

}  // namespace

extern "C" TW_UINT16 TW_CALLINGSTYLE DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY dest,
                                              TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                              TW_MEMREF data) {
  return manager().entry(origin, dest, dg, dat, msg, data);
}
