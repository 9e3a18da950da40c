#include "config/kvr_config.h"

int kvrKeyWord2AC() {
  return 1;
}
