// Shared by the fuzz targets: scratch files in memory-backed storage and a
// fresh module state for each input.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/kvr_config.h"

namespace fuzz {

// One pool, emptied by reset() before each input.
inline apr_pool_t *pool() {
  static apr_pool_t *p = [] {
    apr_initialize();
    apr_pool_t *q;
    apr_pool_create(&q, nullptr);
    return q;
  }();
  return p;
}

// A directory of this process's own, with a config/ below it.
inline const std::string &dir() {
  static const std::string d = [] {
    char tmpl[] = "/dev/shm/rizu-fuzz-XXXXXX";
    std::string s = mkdtemp(tmpl) ? std::string(tmpl) + "/" : std::string("/tmp/");
    std::string cfg = s + "config";
    mkdir(cfg.c_str(), 0777);
    return s;
  }();
  return d;
}

inline std::string put(const std::string &rel, const uint8_t *data, size_t n) {
  const std::string path = dir() + rel;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(data, 1, n, f);
    std::fclose(f);
  }
  return path;
}

inline void reset() {
  apr_pool_clear(pool());
  kvrResetConfigState();
  std::snprintf(strIsapiPath, sizeof strIsapiPath, "%s", dir().c_str());
  std::snprintf(strIsapiLogPath, sizeof strIsapiLogPath, "%s", dir().c_str());
}

}  // namespace fuzz
