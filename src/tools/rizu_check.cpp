// rizu-check: loads a configuration directory as a server child would (with
// the module's own readers, writing nothing), prints what the status page
// would show, warns about every line the load ignores or that can never
// match, and screens files as a response or a POST body would be screened.
//
//   rizu-check [--config DIR] [--get FILE]... [--post FILE]... [--form]
//
// Exit status: 0 no warnings, 1 warnings, 2 the configuration cannot be read.
#include <apr_general.h>
#include <apr_pools.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "screen/kvr_context.h"
#include "screen/kvr_get_scan.h"
#include "screen/kvr_post_scan.h"
#include "screen/kvr_stream.h"
#include "util/kvr_text.h"

namespace {

// Texts of the configuration are GBK; the terminal is UTF-8.
std::string utf8(const std::string &gbk) {
  std::string out(gbk.size() * 2 + 8, '\0');
  KvrConverter("UTF-8", "GBK").convertSkipping(gbk.data(), gbk.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

struct Notices {
  std::vector<std::string> warnings;
  std::map<std::string, std::map<int, int>> lineOfSlot;  // file -> slot -> line
} gNotices;

std::string baseName(const std::string &path) {
  const size_t s = path.rfind('/');
  return s == std::string::npos ? path : path.substr(s + 1);
}

// The file as the operator knows it: the INI at the top, the rest under
// config/.
std::string shownName(const std::string &file) {
  const std::string base = baseName(file);
  return base == "rizururuzarida.ini" ? base : "config/" + base;
}

void warn(const std::string &file, int line, const std::string &why, const std::string &text) {
  char where[64];
  std::snprintf(where, sizeof where, ":%d: ", line);
  gNotices.warnings.push_back(shownName(file) + where + why + ": " + utf8(text));
}

// What the readers found in a file as a whole or in one of its lines.
void onFile(void *, const char *file, int line, KvrFileIssue, const char *what) {
  char where[32] = ": ";
  if (line > 0) std::snprintf(where, sizeof where, ":%d: ", line);
  gNotices.warnings.push_back(shownName(file) + where + what);
}

void onLine(const char *file, int line, KvrLineFate fate, const char *text, int slot) {
  if (text[0] == ';' && fate != kLineStored) return;  // a comment, however long
  switch (fate) {
    case kLineStored:
      gNotices.lineOfSlot[baseName(file)][slot] = line;
      break;
    case kLineComment:
      break;
    case kLineTooShort:
      warn(file, line, "ignored, shorter than 2 bytes", text);
      break;
    case kLineTooLong:
      warn(file, line, "ignored, too long for its table", text);
      break;
    case kLineBeyondCapacity:
      warn(file, line, "ignored, the table is full", text);
      break;
    case kLineDuplicate:
      warn(file, line, "ignored, a duplicate", text);
      break;
  }
}

int lineOf(const std::string &file, int slot) {
  auto f = gNotices.lineOfSlot.find(file);
  if (f == gNotices.lineOfSlot.end()) return 0;
  auto s = f->second.find(slot);
  return s == f->second.end() ? 0 : s->second;
}

bool validGbk(const char *s) {
  // Every byte converts: the UTF-8 form took the whole keyword.
  const size_t n = std::strlen(s);
  std::string out(n * 3 + 4, '\0');
  KvrConverter conv("UTF-8", "GBK");
  conv.convert(s, n, &out[0], out.size());
  std::string back(n + 4, '\0');
  KvrConverter("GBK", "UTF-8")
      .convert(out.c_str(), std::strlen(out.c_str()), &back[0], back.size());
  return std::strcmp(back.c_str(), s) == 0;
}

// A comma in a keyword separates its words.
bool dropped(unsigned char b) {
  return b != ',' && kvrFilterDrops(b);
}

// The bytes of a word that the first look of the response check keeps;
// 0 for a word with punctuation outside a character, which never occurs.
size_t firstLookLength(const char *word) {
  size_t n = 0;
  for (const char *p = word; *p; ++p) {
    const unsigned char b = static_cast<unsigned char>(*p);
    if (dropped(b)) return 0;
    ++n;
    if (b >= 0x81 && b <= 0xFE && p[1]) n += !dropped(static_cast<unsigned char>(*++p));
  }
  return n;
}

template <class Entry>
void checkKeywords(const Entry *t, const char *file, bool filtered, bool get = false) {
  for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i) {
    const int line = lineOf(file, i);
    const char *k = t[i].gbk;
    if (!validGbk(k)) warn(file, line, "not valid GBK (its UTF-8 form is cut short)", k);
    if (k[0] == ',') warn(file, line, "begins with a comma: never matches", k);
    char w[3][256] = {};
    const int words = std::strchr(k, ',') ? kvrSplitKeyWord(k, w) : 1;
    if (words == 4) warn(file, line, "more than three words: never matches", k);
    // The response check's quick first look needs words of two bytes or
    // more; one word of a single byte turns it off for every response.
    // It reads the text byte by byte, so a GBK character whose second byte
    // is punctuation counts one byte there.
    if (get && words >= 1 && words <= 3) {
      if (words == 1) std::snprintf(w[0], sizeof w[0], "%s", k);
      for (int j = 0; j < words; ++j)
        if (firstLookLength(w[j]) == 1) {
          warn(file, line, "a word of one byte: every response is then searched the slow way", k);
          break;
        }
    }
    // The second byte of a GBK character is part of it, whatever its value.
    if (filtered)
      for (const char *p = k; *p; ++p) {
        const unsigned char b = static_cast<unsigned char>(*p);
        if (b >= 0x81 && b <= 0xFE && p[1]) {
          ++p;
          continue;
        }
        if (dropped(b)) {
          warn(file, line, "holds punctuation that the filtered text drops: never matches here", k);
          break;
        }
      }
  }
}

template <size_t N, size_t W>
void checkAddressList(const char (&list)[N][W], const char *file) {
  for (size_t i = 0; i < N && std::strlen(list[i]) >= 2; ++i)
    if (list[i][0] == '/' && !std::strpbrk(list[i], "*?"))
      warn(file, lineOf(file, static_cast<int>(i)),
           "begins with \"/\": the address begins with the host name, so it never matches",
           list[i]);
}

// The status page as text: one row a line. The page may also list the
// UTF-8 and BIG5 forms of the keywords; those are left out here, where the
// page is shown in one encoding.
void printSummary() {
  nWriteUtf8KeyWord = nWriteBig5KeyWord = 0;
  std::vector<char> page(0x500000);
  const size_t n = kvrBuildConfigPage(page.data(), page.size());
  std::string html = utf8(std::string(page.data(), n));
  std::string text;
  bool inTag = false;
  std::string tag;
  for (char c : html) {
    if (c == '<') {
      inTag = true;
      tag.clear();
      continue;
    }
    if (inTag) {
      if (c == '>') {
        inTag = false;
        if (tag == "/td" && !text.empty() && text.back() != '\n') text += " ";
        if (tag == "/tr") text += "\n";
        if (tag == "br" && !text.empty() && text.back() != ' ' && text.back() != '\n') text += " ";
      } else {
        tag += c;
      }
      continue;
    }
    if (c == '\r' || c == '\n' || c == '\t') continue;
    text += c;
  }
  // Entities and the head's style sheet.
  for (size_t at; (at = text.find("&nbsp;")) != std::string::npos;) text.replace(at, 6, " ");
  const size_t body = text.find("\n", text.find("-->"));
  std::printf("%s", body == std::string::npos ? text.c_str() : text.c_str() + body + 1);
}

std::string readAll(const std::string &path, bool *ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The file as the filters see a response or a body: one text, in segments
// when it is long. Prints each event, or that it passes.
void printEvent(const std::string &file, const KvrEvent &ev, bool post) {
  static const char *names[] = {"c (smart block)", "cex (verbatim block)", "b (smart record)",
                                "bex (verbatim record)"};
  const char *charset = ev.charset == 1 ? "GBK" : ev.charset == 2 ? "UTF-8" : "BIG5";
  if (post) {
    std::printf("%s: %s \"%s\" (POST table %s, %s pass)\n", file.c_str(),
                ev.action == 2 ? "blocked by" : "recorded for", utf8(ev.keyword).c_str(),
                names[ev.table], charset);
    return;
  }
  std::printf("%s: %s \"%s\" (GET %s table, %s form); context: %s\n", file.c_str(),
              ev.action == 2 ? "blocked by" : "recorded for", utf8(ev.keyword).c_str(),
              ev.action == 2 ? "block" : "record", charset,
              ev.charset == 2 ? ev.context : utf8(ev.context).c_str());
}

void screenGet(apr_pool_t *pool, const std::string &file) {
  bool ok;
  const std::string data = readAll(file, &ok);
  if (!ok) {
    std::printf("%s: cannot be read\n", file.c_str());
    return;
  }
  KvrGetStream s;
  int events = 0;
  if (kvrGetStreamInit(&s, pool, false, true)) {
    KvrEvent ev{};
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min(kvrGetStreamRoom(&s), data.size() - at);
      kvrGetStreamAdd(&s, data.data() + at, n);
      at += n;
      if (kvrGetStreamNotText(&s)) {
        std::printf("%s: not examined (a NUL byte among its first 1023 bytes)\n", file.c_str());
        return;
      }
      const bool last = at == data.size();
      if (kvrGetStreamRoom(&s) == 0 || last) {
        const int r = kvrGetStreamEnd(&s, last, &ev);
        if (r) {
          printEvent(file, ev, false);
          ++events;
        }
        if (r == 2) break;
      }
    }
  }
  if (!events) std::printf("%s: passes\n", file.c_str());
}

void screenPost(apr_pool_t *pool, const std::string &file, bool form) {
  bool ok;
  const std::string data = readAll(file, &ok);
  if (!ok) {
    std::printf("%s: cannot be read\n", file.c_str());
    return;
  }
  KvrPostStream s;
  int events = 0;
  if (kvrPostStreamInit(&s, pool, form)) {
    KvrEvent ev[8];
    int n = 0;
    for (size_t at = 0; at <= data.size();) {
      const size_t m = std::min(kvrPostStreamRoom(&s), data.size() - at);
      kvrPostStreamAdd(&s, data.data() + at, m);
      at += m;
      const bool last = at == data.size();
      if (kvrPostStreamRoom(&s) != 0 && !last) continue;
      const int r = kvrPostStreamEnd(&s, last, ev, &n);
      for (int k = 0; k < n; ++k) printEvent(file, ev[k], true);
      events += n;
      if (r == 2 || last) break;
    }
  }
  if (!events) std::printf("%s: passes\n", file.c_str());
}

int usage() {
  std::fprintf(stderr,
               "usage: rizu-check [--config DIR] [--get FILE]... [--post FILE]... [--form]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir = kvrConfigDirDefault;
  std::vector<std::string> gets, posts;
  bool form = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--config" || a == "--get" || a == "--post") && i + 1 < argc) {
      const std::string v = argv[++i];
      if (a == "--config") dir = v;
      if (a == "--get") gets.push_back(v);
      if (a == "--post") posts.push_back(v);
    } else if (a == "--form") {
      form = true;
    } else {
      return usage();
    }
  }
  if (dir.empty() || dir.back() != '/') dir += '/';
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "rizu-check: %s is not a directory\n", dir.c_str());
    return 2;
  }
  const std::string ini = dir + "rizururuzarida.ini";
  if (access(ini.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "rizu-check: %s cannot be read\n", ini.c_str());
    return 2;
  }

  apr_initialize();
  apr_pool_t *pool;
  apr_pool_create(&pool, nullptr);
  kvrLineNotice = onLine;
  kvrFileNotice = onFile;
  kvrLoadConfiguration(pool, dir.c_str(), "/nonexistent-rizu-check/", false);
  kvrLineNotice = nullptr;
  kvrFileNotice = nullptr;

  checkKeywords(arrGetKeyWord.b, "getkeyb.txt", true, true);
  checkKeywords(arrGetKeyWord.c, "getkeyc.txt", true, true);
  checkKeywords(arrPostKeyWord.b, "postkeyb.txt", true);
  checkKeywords(arrPostKeyWord.c, "postkeyc.txt", true);
  checkKeywords(arrPostKeyWord.bex, "postkeybex.txt", false);
  checkKeywords(arrPostKeyWord.cex, "postkeycex.txt", false);
  checkAddressList(arrBlockUrl, "blockurl.txt");
  checkAddressList(arrVazidezGetDna, "getdna.txt");
  checkAddressList(arrVazidezPostDna, "postdna.txt");
  checkAddressList(arrBlockSqlDnUrl, "blocksqldnurl.txt");

  std::printf("configuration %s\n\n", dir.c_str());
  printSummary();
  if (!gNotices.warnings.empty()) std::printf("\n");
  for (const std::string &w : gNotices.warnings) std::printf("warning: %s\n", w.c_str());
  if (!gets.empty() || !posts.empty()) std::printf("\n");
  for (const std::string &f : gets) screenGet(pool, f);
  for (const std::string &f : posts) screenPost(pool, f, form);
  apr_pool_destroy(pool);
  apr_terminate();
  return gNotices.warnings.empty() ? 0 : 1;
}
