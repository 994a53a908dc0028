// The module's one export.
#include "sources/virtual/virtual_source.h"

namespace {

lumra::virtual_scanner::VirtualModule& module() {
  static lumra::virtual_scanner::VirtualModule instance;
  return instance;
}

}  // namespace

extern "C" TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) {
  return module().entry(origin, dg, dat, msg, data);
}
