// The ADS library (libTcAdsDll.so), loaded at run time on first need and
// kept for the life of the process. Looked for beside the executable first,
// then in the installed program's library folder, then by the loader's
// normal search. A failed load is tried again at the next need, so a
// library installed while the program runs is found.
#pragma once

#include "plc/ads/ams/tc_ads_api.h"

namespace kvt::plc::ads {

struct tc_ads_calls {
  long (*port_open)();
  long (*port_close)();
  long (*get_local_address)(PAmsAddr);
  long (*sync_read)(PAmsAddr, unsigned long, unsigned long, unsigned long, void*);
  long (*sync_read_write)(PAmsAddr, unsigned long, unsigned long, unsigned long, void*, unsigned long, void*);
};

// The five calls, or null when the library or one of them is missing (said
// once per attempt on standard error).
const tc_ads_calls* tc_ads_library();

}  // namespace kvt::plc::ads
