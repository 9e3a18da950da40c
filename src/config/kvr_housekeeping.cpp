// Removal of old event logs when a child starts.
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>
#include <apr_hash.h>
#include <apr_strings.h>

#include <cstdio>
#include <cstring>

#include "config/kvr_config.h"

namespace {

constexpr size_t kPathSlot = 261;

// The directories already listed in this call, by device and inode, so that
// no directory is ever visited twice (a bind mount can loop).
struct Visited {
  apr_hash_t *seen;
  bool firstVisit(apr_pool_t *p, const apr_finfo_t &fi) {
    struct Key {
      apr_dev_t dev;
      apr_ino_t ino;
    };
    Key *k = static_cast<Key *>(apr_pcalloc(p, sizeof(Key)));
    k->dev = fi.device;
    k->ino = fi.inode;
    if (apr_hash_get(seen, k, sizeof(Key))) return false;
    apr_hash_set(seen, k, sizeof(Key), k);
    return true;
  }
};

void joinPath(char *out, size_t cap, const char *dir, const char *name) {
  const size_t n = std::strlen(dir);
  const bool hasSep = n > 0 && (dir[n - 1] == '\\' || dir[n - 1] == '/');
  std::snprintf(out, cap, "%s%s%s", dir, hasSep ? "" : "\\", name);
  kvrRepDirFileStrEx(out);
}

int listDir(apr_pool_t *p, const char *dir, const char *ext, const char *prefix,
            apr_array_header_t *files, Visited *visited) {
  const size_t extLen = std::strlen(ext);
  char pattern[600];
  char star[300];
  std::snprintf(star, sizeof star, "%s*", prefix);
  joinPath(pattern, sizeof pattern, dir, star);
  apr_array_header_t *names = nullptr;
  if (apr_match_glob(pattern, &names, p) != APR_SUCCESS) return 0;
  for (int i = 0; i < names->nelts; ++i) {
    const char *name = APR_ARRAY_IDX(names, i, const char *);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    char full[600];
    joinPath(full, sizeof full, dir, name);
    apr_finfo_t fi;
    // Links are never followed: a link that points back into the directory
    // would otherwise make the walk endless.
    const apr_status_t rv =
        apr_stat(&fi, full, APR_FINFO_LINK | APR_FINFO_MIN | APR_FINFO_IDENT, p);
    if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) continue;
    if (fi.filetype == APR_REG) {
      const size_t len = std::strlen(full);
      if (len >= 11 && len <= 254 && std::memcmp(full + len - extLen, ext, extLen) == 0) {
        char *slot = static_cast<char *>(apr_array_push(files));
        std::memset(slot, 0, kPathSlot);
        std::memcpy(slot, full, len);
      }
    } else if (fi.filetype == APR_DIR) {
      if (std::strlen(full) < 256 && visited->firstVisit(p, fi))
        listDir(p, full, ext, prefix, files, visited);
    }
  }
  return 1;
}

}  // namespace

int kvrGetFileList(apr_pool_t *p, char *pszFilePath, char *pszFileExt, char *pszFileName,
                   apr_array_header_t *arrBcpFile) {
  if (!pszFileName || !pszFileExt || !pszFilePath || !arrBcpFile) return 0;
  const size_t extLen = std::strlen(pszFileExt);
  if (extLen != 4 && extLen != 5) return 0;
  const size_t pathLen = std::strlen(pszFilePath);
  if (pathLen < 3 || pathLen > 255) return 0;
  Visited visited{apr_hash_make(p)};
  apr_finfo_t top;
  const apr_status_t rv = apr_stat(&top, pszFilePath, APR_FINFO_MIN | APR_FINFO_IDENT, p);
  if (rv == APR_SUCCESS || rv == APR_INCOMPLETE) visited.firstVisit(p, top);
  return listDir(p, pszFilePath, pszFileExt, pszFileName, arrBcpFile, &visited);
}

int kvrVazidezAutoDelLogFile(apr_pool_t *p, char *pszFileHead, char *pszFileExt, apr_time_t nDay) {
  apr_array_header_t *files = apr_array_make(p, 10, kPathSlot);
  const apr_time_t now = apr_time_now();
  if (!kvrGetFileList(p, strIsapiLogPath, pszFileExt, pszFileHead, files)) return 0;
  const apr_time_t limit = nDay * APR_INT64_C(86400000000);
  for (int i = files->nelts - 1; i >= 0; --i) {
    const char *path = files->elts + static_cast<size_t>(i) * kPathSlot;
    apr_finfo_t fi;
    if (apr_stat(&fi, path, APR_FINFO_LINK | APR_FINFO_MIN, p) != APR_SUCCESS) continue;
    if (fi.filetype != APR_REG) continue;
    if (now > fi.mtime + limit) apr_file_remove(path, p);
  }
  return 1;
}
