#include "config/kvr_share.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "config/kvr_file.h"
#include "match/kvr_match.h"

namespace {

// A file as the load found it. err is 0 for a file that stat could see,
// else the reason it could not (an absent file is remembered as absent).
struct SeenFile {
  std::string path;
  int err = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  // Changed in the clock tick it was looked at: a write later in that tick
  // would leave the same times behind, so it cannot be told unchanged.
  bool racy = false;
};

bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

SeenFile look(const char *path) {
  SeenFile f;
  f.path = path;
  // File times come from the kernel's coarse clock.
  timespec tick{};
  clock_gettime(CLOCK_REALTIME_COARSE, &tick);
  struct stat st;
  if (::stat(path, &st) != 0) {
    f.err = errno ? errno : ENOENT;
    return f;
  }
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  f.mode = st.st_mode;
  f.uid = st.st_uid;
  f.gid = st.st_gid;
  f.size = st.st_size;
  f.mtime = st.st_mtim;
  f.ctime = st.st_ctim;
  f.racy = !before(f.ctime, tick);
  return f;
}

bool same(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The change time moves with every write, rename onto the path and change
// of owner or mode, so a file that compares equal holds what the load read.
bool unchanged(const SeenFile &then, const SeenFile &now) {
  if (then.err != now.err) return false;
  if (then.err != 0) return true;
  if (then.racy) return false;
  return then.dev == now.dev && then.ino == now.ino && then.mode == now.mode &&
         then.uid == now.uid && then.gid == now.gid && then.size == now.size &&
         same(then.mtime, now.mtime) && same(then.ctime, now.ctime);
}

// This process may read it: the parent read as its own user, a child
// runs as the server's user.
bool readable(const SeenFile &f) {
  if (f.err != 0) return true;       // absent for both
  if (S_ISDIR(f.mode)) return true;  // opened but read as nothing, by both
  const int fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

struct SharedLoad {
  // The status page of these tables: every child that takes them writes it.
  std::string page;
  std::string configDir = kvrConfigDirDefault;
  std::string logDir = kvrLogDirDefault;
  bool ready = false;
  pid_t builder = 0;
  std::vector<SeenFile> files;
  // What the readers found wrong in the files: a child that takes the
  // tables tells it as its own load would have.
  struct Notice {
    std::string file;
    int line;
    KvrFileIssue issue;
    std::string what;
  };
  std::vector<Notice> notices;
};

SharedLoad gShared;
// As large as kvrWriteConfigLog lets the page be.
constexpr size_t kStatusPageCap = 0x500000;
// Set only while the parent's load runs.
std::vector<SeenFile> *gRecording = nullptr;

void keepNotice(void *ctx, const char *file, int line, KvrFileIssue issue, const char *what) {
  try {
    static_cast<std::vector<SharedLoad::Notice> *>(ctx)->push_back(
        {file ? file : "", line, issue, what ? what : ""});
  } catch (...) {
    // Out of memory: the notice is lost, the load goes on.
  }
}

}  // namespace

void kvrNoteConfigRead(const char *path) {
  if (!gRecording || !path) return;
  // The INI file is read once per key: the first look, taken before its
  // first read, is the one to compare with.
  for (const SeenFile &f : *gRecording)
    if (f.path == path) return;
  gRecording->push_back(look(path));
}

int kvrLoadShared(apr_pool_t *ptemp, const char *configDir, const char *logDir) {
  kvrReleaseShared();
  try {
    gShared.configDir = configDir ? configDir : kvrConfigDirDefault;
    gShared.logDir = logDir ? logDir : kvrLogDirDefault;
    std::vector<SeenFile> files;
    std::vector<SharedLoad::Notice> notices;
    gRecording = &files;
    // The parent logs nothing: what the readers tell is kept for the
    // children.
    const auto notice = kvrFileNotice;
    void *const noticeCtx = kvrFileNoticeCtx;
    kvrFileNotice = keepNotice;
    kvrFileNoticeCtx = &notices;
    const int rc =
        kvrLoadConfiguration(ptemp, gShared.configDir.c_str(), gShared.logDir.c_str(), false);
    kvrFileNotice = notice;
    kvrFileNoticeCtx = noticeCtx;
    gRecording = nullptr;
    if (rc != 1) return 0;
    // The page is built as large as it may be, then kept at its length.
    std::string page(kStatusPageCap, '\0');
    page.resize(kvrBuildConfigPage(&page[0], page.size()));
    page.shrink_to_fit();
    gShared.page = std::move(page);
    gShared.files = std::move(files);
    gShared.notices = std::move(notices);
    gShared.builder = ::getpid();
    gShared.ready = true;
    return 1;
  } catch (...) {
    gRecording = nullptr;
    kvrFileNotice = nullptr;
    kvrFileNoticeCtx = nullptr;
    return 0;
  }
}

bool kvrSharedFilesCurrent() {
  if (!gShared.ready) return false;
  try {
    for (const SeenFile &then : gShared.files) {
      const SeenFile now = look(then.path.c_str());
      if (!unchanged(then, now) || !readable(now)) return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

size_t kvrSharedFileCount() {
  return gShared.ready ? gShared.files.size() : 0;
}

int kvrAdoptOrLoad(apr_pool_t *p, bool *adopted) {
  if (adopted) *adopted = false;
  if (kvrSharedFilesCurrent()) {
    // The tables in memory are what this process's own load would make,
    // and so is the page, which the parent built from them.
    kvrWriteConfigPage(p, gShared.page.data(), gShared.page.size());
    if (kvrFileNotice)
      for (const SharedLoad::Notice &n : gShared.notices)
        kvrFileNotice(kvrFileNoticeCtx, n.file.c_str(), n.line, n.issue, n.what.c_str());
    if (adopted) *adopted = true;
    return 1;
  }
  // From here on the tables are this process's own: a later failed load
  // must not be taken for the parent's.
  gShared.ready = false;
  return kvrLoadConfiguration(p, gShared.configDir.c_str(), gShared.logDir.c_str(), true);
}

void kvrReleaseShared() {
  const bool mine = gShared.ready && gShared.builder == ::getpid();
  gShared.ready = false;
  gShared.files.clear();
  gShared.files.shrink_to_fit();
  gShared.notices.clear();
  gShared.notices.shrink_to_fit();
  std::string().swap(gShared.page);
  if (mine) kvrFreeKeywordAutomata();
}
