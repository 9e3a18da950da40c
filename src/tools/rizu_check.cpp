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

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "screen/kvr_context.h"
#include "screen/kvr_get_scan.h"
#include "screen/kvr_post_scan.h"
#include "match/kvr_match.h"
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

void warn(const std::string &file, int line, const std::string &why, const std::string &text) {
  char where[64];
  std::snprintf(where, sizeof where, ":%d: ", line);
  gNotices.warnings.push_back("config/" + baseName(file) + where + why + ": " + utf8(text));
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
    if (get && (words == 2 || words == 3))
      for (int j = 0; j < words; ++j)
        if (std::strlen(w[j]) == 1 && !dropped(static_cast<unsigned char>(w[j][0]))) {
          warn(file, line, "a word of one byte: every response is then searched the slow way", k);
          break;
        }
    if (filtered)
      for (const char *p = k; *p; ++p)
        if (dropped(static_cast<unsigned char>(*p))) {
          warn(file, line, "holds punctuation that the filtered text drops: never matches here", k);
          break;
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

void screenGet(apr_pool_t *pool, const std::string &file) {
  bool ok;
  const std::string data = readAll(file, &ok);
  if (!ok) {
    std::printf("%s: cannot be read\n", file.c_str());
    return;
  }
  const KvrFilteredText ft = kvrFilterText(pool, data.data(), data.size());
  KvrGetHit hit;
  const int table = kvrGetScan(ft, false, true, &hit);
  if (!table) {
    std::printf("%s: passes\n", file.c_str());
    return;
  }
  const structGetKeyWord &e = table == 2 ? arrGetKeyWord.c[hit.index] : arrGetKeyWord.b[hit.index];
  const char *form = hit.charset == 1 ? e.gbk : hit.charset == 2 ? e.utf8 : e.big5;
  std::string ctx(3 * nLogGetHtmlPageLen + 1, '\0');
  kvrPageContext(pool, hit.words, form, hit.key1, hit.key2, hit.key3, data.data(), data.size(),
                 ft.text, ft.len, &ctx[0], nLogGetHtmlPageLen);
  std::printf("%s: %s \"%s\" (GET %s table, %s form); context: %s\n", file.c_str(),
              table == 2 ? "blocked by" : "recorded for", utf8(e.gbk).c_str(),
              table == 2 ? "block" : "record",
              hit.charset == 1   ? "GBK"
              : hit.charset == 2 ? "UTF-8"
                                 : "BIG5",
              hit.charset == 2 ? ctx.c_str() : utf8(ctx.c_str()).c_str());
}

void screenPost(apr_pool_t *pool, const std::string &file, bool form) {
  bool ok;
  const std::string data = readAll(file, &ok);
  if (!ok) {
    std::printf("%s: cannot be read\n", file.c_str());
    return;
  }
  const KvrPostText pt = kvrPostPrepare(pool, data.data(), data.size(), form);
  KvrPostHit hits[8];
  int n = 0;
  const int r =
      kvrPostSweep(pool, pt, nVazidezBlockPostKeyWord == 1, nVazidezChkPostKeyWord == 1, hits, &n);
  if (n == 0) std::printf("%s: passes\n", file.c_str());
  static const char *names[] = {"c (smart block)", "cex (verbatim block)", "b (smart record)",
                                "bex (verbatim record)"};
  for (int k = 0; k < n; ++k) {
    const structPostKeyWord *t = hits[k].table == kPostC     ? arrPostKeyWord.c
                                 : hits[k].table == kPostCex ? arrPostKeyWord.cex
                                 : hits[k].table == kPostB   ? arrPostKeyWord.b
                                                             : arrPostKeyWord.bex;
    std::printf("%s: %s \"%s\" (POST table %s, %s pass)\n", file.c_str(),
                r == 2 ? "blocked by" : "recorded for", utf8(t[hits[k].index].gbk).c_str(),
                names[hits[k].table], hits[k].pass == 1 ? "GBK" : "UTF-8");
  }
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
  kvrLoadConfiguration(pool, dir.c_str(), "/nonexistent-rizu-check/", false);
  kvrLineNotice = nullptr;

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
