// The module's one export.
#include "sources/sane/sane_source.h"

namespace {

lumra::sane_source::SaneModule& module() {
  static lumra::sane_source::SaneModule instance;
  return instance;
}

}  // namespace

extern "C" TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) {
  return module().entry(origin, dg, dat, msg, data);
}
