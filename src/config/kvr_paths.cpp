// The two base directories, fixed when the module is built.
#include "config/kvr_config.h"

#ifndef RIZU_CONFIG_DIR
#define RIZU_CONFIG_DIR "/usr/rizururuzarida/"
#endif
#ifndef RIZU_LOG_DIR
#define RIZU_LOG_DIR "/var/log/rizururuzarida/"
#endif

const char *const kvrConfigDirDefault = RIZU_CONFIG_DIR;
const char *const kvrLogDirDefault = RIZU_LOG_DIR;
