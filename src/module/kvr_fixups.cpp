#include "config/kvr_config.h"
#include "module/kvr_screen.h"

int kvr_ap_fixups(request_rec *r) {
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) return DECLINED;
  return DECLINED;
}
