#include "match/acsm.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "match/kvr_trie.h"
#include "util/kvr_raw_vector.h"
#include "util/kvr_text.h"

namespace {

[[noreturn]] void acsmNoMemory(const char *what) {
  std::printf("ACSM-No Memory: %s!\n", what);
  std::fflush(stdout);
  std::exit(0);
}

void *AC_MALLOC(size_t n, const char *what) {
  void *p = std::calloc(1, n ? n : 1);
  if (!p) acsmNoMemory(what);
  return p;
}

void AC_FREE(void *p) {
  if (p) std::free(p);
}

}  // namespace

// The compiled transitions. Shallow states (two bytes deep at most, where
// ordinary text keeps the walk) have a full row: one cell per byte class.
// Each deeper state keeps only the classes where its transitions differ
// from those of its default, the nearest shallow state on its failure chain
// (for most states, just its one child), and goes on from the default's row
// for every other class. That is a few percent of the memory of full rows
// for every state, and no failure links are followed while searching.
//
// A deep state has a record of 16 bytes: its default's row, one cell (its
// first child's, the way a keyword goes on), and a mask that tells the rare
// class for which one of its further cells must be looked up. A step from a
// deep state is so two lookups, the record and the row, whatever the byte;
// text in UTF-8, three bytes a character, is in a deep state after about
// every character that begins a keyword. The records are numbered
// breadth-first, so that those of the states a text reaches most often
// (the shallowest) lie together.
//
// A shallow state has such a record too, right after its row: its own row
// and no cell of its own. A walk may so step every state the same way,
// through its record, without telling the kinds apart: two lookups a byte,
// but no branch on the kind of state, which in UTF-8 text changes from
// byte to byte as unforeseeably as the text and costs more than the lookup
// it saves. In GBK text, which keeps the walk in shallow states, telling
// them apart is cheaper.
//
// A state is a 32-bit value: bit 1 tells a state with a match list, and the
// bits above are x, where its record lies at rows[x + stride]: for a shallow
// state x is the offset of its row. Within each kind the states without a
// match list come first, so that a state's match row follows from its
// number. The start state is the value 0 unless it has matches.
struct AcsmTable {
  uint8_t cls[256];
  // For searching a text as its filtered form (see acsmSearchFolded): upper
  // case as lower case, and the bytes the filter drops to a class that keeps
  // the state. Only when no pattern holds upper case.
  bool canFold = false;
  uint8_t clsFold[256];
  uint8_t selfClass = 0;
  uint32_t stride = 1;                         // byte classes per row
  static constexpr uint32_t kNoClass = 0x1FF;  // above every class
  // A record, four words at rows[x + stride]:
  enum : uint32_t {
    kRow,    // offset of the row it goes on from
    kNext,   // the state its one cell goes to
    kFirst,  // bits 0-8: the class of that cell (kNoClass: none);
             // above: where its further cells begin in `more` (0: none)
    kMask,   // bit (class & 31) of each further cell
    kRecord
  };
  // The shallow states' rows, each followed by its record (every cell
  // written), then the deep states' records.
  KvrRawVector<uint32_t> rows;
  uint32_t numShallow = 0, numDeep = 0;
  uint32_t rowLen = 0;    // stride + kRecord
  uint32_t deepBase = 0;  // x of the first deep state: every shallow x is below
  // How many shallow and deep states have no match list (they come first).
  uint32_t shallowPlain = 0, deepPlain = 0;
  struct Cell {
    uint32_t cls;  // ascending within a list; kEnd ends it
    uint32_t next;
  };
  static constexpr uint32_t kEnd = 0xFFFFFFFFu;
  KvrRawVector<Cell> more;  // from index 1: lists of further cells
  uint32_t startState = 0;
  uint32_t numRows = 0;
  uint32_t firstMatchRow = 0;
  std::vector<const ACSM_PATTERN *> entries;
  // What a search needs of each entry, beside it: on a text full of
  // keywords, reading the patterns' own records missed the cache at every
  // match.
  struct EntryInfo {
    int32_t fileKey;
    uint16_t len;  // kLongLen: that long or longer (the pattern's own n tells)
    uint8_t charType;
    uint8_t num : 7;
    uint8_t emptyWord : 1;  // files no text
  };
  static constexpr uint16_t kLongLen = 0xFFFF;
  std::vector<EntryInfo> info;
  // Each match row's entries [begin, end), with the first entry's
  // information beside them: sixteen bytes a row, and on a text full of
  // keywords one miss of the cache at a match instead of two.
  struct MatchRow {
    uint32_t begin, end;
    EntryInfo first;  // info[begin], when begin < end
  };
  std::vector<MatchRow> matchRows;
  uint32_t numMatchRows = 0;
  int numFileKeys = 0;
  int maxPatternLen = 0;

  static constexpr uint32_t kMatch = 2;
  bool isState(uint32_t v) const {
    const uint32_t x = v >> 2;
    if (v & 1) return false;
    if (x < deepBase) return x % rowLen == 0 && (x / rowLen >= shallowPlain) == ((v & kMatch) != 0);
    const uint32_t d = x - deepBase;
    return d % kRecord == 0 && d / kRecord < numDeep &&
           (d / kRecord >= deepPlain) == ((v & kMatch) != 0);
  }
  // x / rowLen for a shallow x (a multiple of rowLen = odd << rowShift),
  // without dividing: odd times rowInverse is 1 modulo 2^32.
  uint32_t rowShift = 0, rowInverse = 1;
  // Of a state with a match list.
  uint32_t matchRow(uint32_t v) const {
    const uint32_t x = v >> 2;
    if (x < deepBase) return firstMatchRow + ((x >> rowShift) * rowInverse) - shallowPlain;
    return firstMatchRow + (numShallow - shallowPlain) + (x - deepBase) / kRecord - deepPlain;
  }
};

ACSM_STRUCT *acsmNew(void (*userfree)(void *p), void (*optiontreefree)(void **p),
                     void (*neg_list_free)(void **p)) {
  auto *p = static_cast<ACSM_STRUCT *>(AC_MALLOC(sizeof(ACSM_STRUCT), "acsmNew"));
  p->userfree = userfree;
  p->optiontreefree = optiontreefree;
  p->neg_list_free = neg_list_free;
  return p;
}

int acsmAddPattern(ACSM_STRUCT *p, unsigned char *pat, int n, int nocase, int offset, int depth,
                   int negative, void *id, int iid, int nKeyWordNum, int nKeyWordIndex,
                   char *szKeyWord, int nKeyWordCharType, int nUserType) {
  if (n < 0) n = 0;
  auto *plist = static_cast<ACSM_PATTERN *>(AC_MALLOC(sizeof(ACSM_PATTERN), "acsmAddPattern"));
  plist->patrn = static_cast<unsigned char *>(AC_MALLOC(static_cast<size_t>(n), "acsmAddPattern"));
  if (n > 0) std::memcpy(plist->patrn, pat, static_cast<size_t>(n));
  plist->udata = static_cast<ACSM_USERDATA *>(AC_MALLOC(sizeof(ACSM_USERDATA), "acsmAddPattern"));
  plist->udata->ref_count = 1;
  plist->udata->id = id;
  plist->n = n;
  plist->nocase = nocase;
  plist->negative = negative;
  plist->offset = offset;
  plist->depth = depth;
  plist->iid = iid;
  plist->nUserType = nUserType;
  if (szKeyWord) {
    const size_t len = strnlen(szKeyWord, 31);
    std::memcpy(plist->szKeyWord, szKeyWord, len);
  }
  plist->nKeyWordCharType = nKeyWordCharType;
  plist->nKeyWordNum = nKeyWordNum;
  plist->nKeyWordIndex = nKeyWordIndex;
  plist->next = p->acsmPatterns;
  p->acsmPatterns = plist;
  p->numPatterns++;
  return 0;
}

namespace {

// The rows of the shallow states and the records of the deep ones (see
// AcsmTable). hasList tells the states with a match list; rowOf receives
// each node's match row (from tb->firstMatchRow for those states).
void buildTransitions(AcsmTable *tb, const KvrTrie &trie, const std::vector<bool> &hasList,
                      std::vector<uint32_t> *rowOf) {
  const uint32_t stride = tb->stride;
  const uint32_t numNodes = trie.numNodes;
  auto shallow = [&](uint32_t node) { return trie.depth[node] <= 2; };
  auto matches = [&](uint32_t node) { return static_cast<bool>(hasList[node]); };

  // Values of the states, and the rows of the shallow ones.
  std::vector<uint32_t> valueOf(numNodes), numOf(numNodes), rowAt(numNodes, 0);
  uint32_t numShallow = 0, shallowPlain = 0, deepPlain = 0;
  for (uint32_t s : trie.bfs) {
    if (shallow(s)) numShallow++;
    if (!matches(s)) ++(shallow(s) ? shallowPlain : deepPlain);
  }
  const uint32_t numDeep = numNodes - numShallow;
  const uint32_t rowLen = stride + AcsmTable::kRecord;
  // Values stay below 2^31: callers keep them in an int.
  const uint64_t total = static_cast<uint64_t>(numShallow) * rowLen +
                         static_cast<uint64_t>(numDeep) * AcsmTable::kRecord;
  if (total >= (1u << 29)) throw std::bad_alloc();
  // The start state is shallow, so that this is above every shallow x.
  const uint32_t deepBase = numShallow * rowLen - stride;
  tb->numShallow = numShallow;
  tb->numDeep = numDeep;
  tb->rowLen = rowLen;
  tb->deepBase = deepBase;
  tb->rowShift = static_cast<uint32_t>(__builtin_ctz(rowLen));
  const uint32_t odd = rowLen >> tb->rowShift;
  uint32_t inverse = odd;  // Newton's iteration: each step doubles the bits that are right
  for (int i = 0; i < 5; ++i) inverse *= 2 - odd * inverse;
  tb->rowInverse = inverse;
  tb->shallowPlain = shallowPlain;
  tb->deepPlain = deepPlain;
  tb->firstMatchRow = shallowPlain + deepPlain;
  tb->numMatchRows = numNodes - tb->firstMatchRow;
  uint32_t next[2][2] = {{0, shallowPlain}, {0, deepPlain}};  // [deep][has a list]
  for (uint32_t s : trie.bfs) {
    const bool m = matches(s);
    const uint32_t k = next[!shallow(s)][m]++;
    numOf[s] = k;
    if (shallow(s)) {
      rowAt[s] = k * rowLen;
      valueOf[s] = rowAt[s] << 2 | (m ? AcsmTable::kMatch : 0);
    } else {
      valueOf[s] = (deepBase + k * AcsmTable::kRecord) << 2 | (m ? AcsmTable::kMatch : 0);
    }
  }
  rowOf->assign(numNodes, 0);
  for (uint32_t s = 0; s < numNodes; ++s)
    if (matches(s))
      (*rowOf)[s] = shallow(s)
                        ? tb->firstMatchRow + numOf[s] - shallowPlain
                        : tb->firstMatchRow + (numShallow - shallowPlain) + numOf[s] - deepPlain;
  tb->startState = valueOf[0];

  // Shallow rows, breadth-first: the row of the failure state (shallower,
  // so already written), then the node's own children.
  // Each row's record: its own row, and no cell of its own.
  tb->rows.resize(total);
  uint32_t *rows = tb->rows.data();
  for (uint32_t s : trie.bfs) {
    if (!shallow(s)) continue;
    uint32_t *row = rows + rowAt[s];
    if (s == 0)
      std::fill(row, row + stride, valueOf[0]);
    else
      std::copy_n(rows + rowAt[trie.fail[s]], stride, row);
    for (uint32_t e = trie.childBegin[s]; e < trie.childBegin[s + 1]; ++e)
      row[tb->cls[trie.childByte[e]]] = valueOf[trie.childTo[e]];
    if (tb->canFold) row[tb->selfClass] = valueOf[s];
    uint32_t *rec = row + stride;
    rec[AcsmTable::kRow] = rowAt[s];
    rec[AcsmTable::kNext] = 0;
    rec[AcsmTable::kFirst] = AcsmTable::kNoClass;
    rec[AcsmTable::kMask] = 0;
  }

  // Deep cells, breadth-first so that a failure state's come first: the
  // node's children over the cells of its failure state when that is deep
  // too (both then share the default).
  std::vector<uint32_t> begin(numNodes, 0), end(numNodes, 0), defaultOf(numNodes, 0);
  std::vector<std::pair<uint8_t, uint32_t>> cells;  // (class, node)
  std::vector<std::pair<uint8_t, uint32_t>> kids;
  for (uint32_t s : trie.bfs) {
    if (shallow(s)) continue;
    const uint32_t f = trie.fail[s];
    defaultOf[s] = shallow(f) ? f : defaultOf[f];
    kids.clear();
    for (uint32_t e = trie.childBegin[s]; e < trie.childBegin[s + 1]; ++e)
      kids.emplace_back(tb->cls[trie.childByte[e]], trie.childTo[e]);
    begin[s] = static_cast<uint32_t>(cells.size());
    uint32_t i = shallow(f) ? 0 : begin[f];
    const uint32_t iEnd = shallow(f) ? 0 : end[f];
    size_t k = 0;
    while (i < iEnd || k < kids.size()) {
      if (k < kids.size() && (i >= iEnd || kids[k].first <= cells[i].first)) {
        if (i < iEnd && cells[i].first == kids[k].first) ++i;  // the child's wins
        cells.push_back(kids[k++]);
      } else {
        cells.push_back(cells[i++]);
      }
    }
    end[s] = static_cast<uint32_t>(cells.size());
  }

  // The records. A deep state's one cell is its first child's, the way a
  // keyword goes on; its other cells are further cells.
  tb->more.clear();
  tb->more.push_back({AcsmTable::kEnd, 0});
  for (uint32_t s : trie.bfs) {
    if (shallow(s)) continue;
    uint32_t *st = rows + deepBase + stride + numOf[s] * AcsmTable::kRecord;
    st[AcsmTable::kRow] = rowAt[defaultOf[s]];
    st[AcsmTable::kNext] = 0;
    st[AcsmTable::kFirst] = AcsmTable::kNoClass;
    st[AcsmTable::kMask] = 0;
    if (begin[s] == end[s]) continue;
    uint32_t one = begin[s];
    if (trie.childBegin[s] < trie.childBegin[s + 1]) {
      const uint32_t child = trie.childTo[trie.childBegin[s]];
      while (cells[one].second != child) ++one;
    }
    st[AcsmTable::kFirst] = cells[one].first;
    st[AcsmTable::kNext] = valueOf[cells[one].second];
    if (end[s] - begin[s] == 1) continue;
    const size_t at = tb->more.size();
    if (at >= (1u << 23)) throw std::bad_alloc();
    st[AcsmTable::kFirst] |= static_cast<uint32_t>(at) << 9;
    for (uint32_t i = begin[s]; i < end[s]; ++i) {
      if (i == one) continue;
      tb->more.push_back({cells[i].first, valueOf[cells[i].second]});
      st[AcsmTable::kMask] |= 1u << (cells[i].first & 31);
    }
    tb->more.push_back({AcsmTable::kEnd, 0});
  }
}

// Builds the compiled table. Works on a trie numbered in insertion order,
// then renumbers the states for the search: breadth-first, states without
// matches first.
void compileImpl(ACSM_STRUCT *acsm) {
  auto *tb = new AcsmTable;
  acsm->table = tb;
  std::vector<ACSM_PATTERN *> pats;  // in the order they were added
  for (ACSM_PATTERN *p = acsm->acsmPatterns; p; p = p->next) pats.push_back(p);
  std::reverse(pats.begin(), pats.end());

  long long maxStates = 1;
  bool used[256] = {};
  for (const ACSM_PATTERN *p : pats) {
    maxStates += p->n;
    tb->maxPatternLen = std::max(tb->maxPatternLen, p->n);
    for (int i = 0; i < p->n; ++i) used[p->patrn[i]] = true;
  }
  acsm->acsmMaxStates = static_cast<int>(maxStates);
  tb->stride = 1;
  for (int b = 0; b < 256; ++b) tb->cls[b] = used[b] ? static_cast<uint8_t>(tb->stride++) : 0;
  tb->canFold = tb->stride < 256;
  for (int b = 'A'; b <= 'Z'; ++b) tb->canFold = tb->canFold && !used[b];
  if (tb->canFold) {
    tb->selfClass = static_cast<uint8_t>(tb->stride++);
    for (int b = 0; b < 256; ++b) {
      tb->clsFold[b] = kvrFilterDrops(static_cast<unsigned char>(b))
                           ? tb->selfClass
                           : tb->cls[b >= 'A' && b <= 'Z' ? b + 32 : b];
    }
  }

  // Trie, breadth-first order and failure states. The structure does not
  // depend on the order of insertion.
  KvrTrie trie;
  {
    std::vector<std::pair<const unsigned char *, int>> bytes;
    bytes.reserve(pats.size());
    for (const ACSM_PATTERN *p : pats) bytes.emplace_back(p->patrn, p->n);
    trie.build(bytes);
  }
  const uint32_t numNodes = trie.numNodes;
  acsm->acsmNumStates = static_cast<int>(numNodes - 1);
  const std::vector<uint32_t> &endOf = trie.endOf;
  const std::vector<uint32_t> &bfs = trie.bfs;
  const std::vector<uint32_t> &fail = trie.fail;
  const std::vector<uint32_t> &depth = trie.depth;

  // Match lists. A state's list holds first the entries of its failure
  // state's list in reverse order, then the patterns that end at the state
  // itself, earliest added first. States of depth 1 take no copies.
  std::vector<std::pair<uint32_t, uint32_t>> own;  // (node, pattern index)
  for (uint32_t k = 0; k < pats.size(); ++k) own.emplace_back(endOf[k], k);
  std::sort(own.begin(), own.end());
  std::vector<uint32_t> ownBegin(numNodes + 1, 0);
  for (const auto &o : own) ownBegin[o.first + 1]++;
  for (uint32_t i = 0; i < numNodes; ++i) ownBegin[i + 1] += ownBegin[i];

  std::vector<uint32_t> listBegin(numNodes, 0), listEnd(numNodes, 0);
  std::vector<uint32_t> flat;  // pattern indices, lists laid out in breadth-first order
  for (uint32_t s : bfs) {
    listBegin[s] = static_cast<uint32_t>(flat.size());
    if (depth[s] >= 2) {
      const uint32_t f = fail[s];
      for (uint32_t i = listEnd[f]; i > listBegin[f]; --i) flat.push_back(flat[i - 1]);
    }
    for (uint32_t i = ownBegin[s]; i < ownBegin[s + 1]; ++i) flat.push_back(own[i].second);
    listEnd[s] = static_cast<uint32_t>(flat.size());
  }

  // If the start state itself has a match (an empty pattern), every state
  // is tested.
  const bool rootMatches = listEnd[0] > listBegin[0];
  std::vector<bool> hasList(numNodes);
  for (uint32_t s = 0; s < numNodes; ++s) hasList[s] = rootMatches || listEnd[s] > listBegin[s];
  tb->numRows = numNodes;
  std::vector<uint32_t> rowOf;
  buildTransitions(tb, trie, hasList, &rowOf);

  // Match entries by row, and the rows' records.
  acsm->acsmStateTable = static_cast<ACSM_STATETABLE *>(
      AC_MALLOC(sizeof(ACSM_STATETABLE) * tb->numMatchRows, "acsmCompile"));
  std::vector<uint32_t> matchNodes(tb->numMatchRows);
  for (uint32_t s = 0; s < numNodes; ++s)
    if (rowOf[s] >= tb->firstMatchRow) matchNodes[rowOf[s] - tb->firstMatchRow] = s;
  for (ACSM_PATTERN *p : pats) p->udata->ref_count = 0;
  for (uint32_t m = 0; m < tb->numMatchRows; ++m) {
    const uint32_t s = matchNodes[m];
    ACSM_STATETABLE &row = acsm->acsmStateTable[m];
    row.MatchBegin = static_cast<uint32_t>(tb->entries.size());
    for (uint32_t i = listBegin[s]; i < listEnd[s]; ++i) {
      ACSM_PATTERN *p = pats[flat[i]];
      p->udata->ref_count++;
      tb->entries.push_back(p);
    }
    row.MatchEnd = static_cast<uint32_t>(tb->entries.size());
  }

  // Patterns that file the same text (as the lists compare it) in the same
  // list share a key, so that the search can tell a repeat without
  // comparing texts.
  std::unordered_map<std::string, int> keys;
  for (ACSM_PATTERN *p : pats) {
    std::string k(1, static_cast<char>('0' + (p->nKeyWordNum & 7)));
    for (const char *c = p->szKeyWord; *c; ++c)
      k += (*c >= 'A' && *c <= 'Z') ? static_cast<char>(*c - 'A' + 'a') : *c;
    auto it = keys.emplace(k, static_cast<int>(keys.size())).first;
    p->nFileKey = it->second;
  }
  tb->numFileKeys = static_cast<int>(keys.size());
  tb->info.reserve(tb->entries.size());
  for (const ACSM_PATTERN *p : tb->entries) {
    AcsmTable::EntryInfo in{};
    in.fileKey = p->nFileKey;
    in.len = static_cast<uint16_t>(std::min<int>(p->n, AcsmTable::kLongLen));
    in.charType = static_cast<uint8_t>(
        p->nKeyWordCharType >= 0 && p->nKeyWordCharType <= 3 ? p->nKeyWordCharType : 0);
    in.num = static_cast<uint8_t>(p->nKeyWordNum >= 1 && p->nKeyWordNum <= 3 ? p->nKeyWordNum : 0);
    in.emptyWord = p->szKeyWord[0] == '\0';
    tb->info.push_back(in);
  }
  tb->matchRows.reserve(tb->numMatchRows);
  for (uint32_t m = 0; m < tb->numMatchRows; ++m) {
    const ACSM_STATETABLE &row = acsm->acsmStateTable[m];
    AcsmTable::MatchRow r{row.MatchBegin, row.MatchEnd, {}};
    if (r.begin < r.end) r.first = tb->info[r.begin];
    tb->matchRows.push_back(r);
  }
}

}  // namespace

int acsmCompile(ACSM_STRUCT *acsm, int (*build_tree)(void *id, void **existing_tree),
                int (*neg_list_func)(void *id, void **list)) {
  if (acsm->table) return 0;  // compiled once
  try {
    compileImpl(acsm);
  } catch (const std::bad_alloc &) {
    acsmNoMemory("acsmCompile");
  }
  if (build_tree && neg_list_func) {
    const AcsmTable &tb = *acsm->table;
    for (uint32_t m = 0; m < tb.numMatchRows; ++m) {
      ACSM_STATETABLE &head = acsm->acsmStateTable[m];
      if (head.MatchBegin == head.MatchEnd) continue;
      for (uint32_t i = head.MatchBegin; i < head.MatchEnd; ++i) {
        const ACSM_PATTERN *p = tb.entries[i];
        if (!p->udata->id) continue;
        if (p->negative)
          neg_list_func(p->udata->id, &head.neg_list);
        else
          build_tree(p->udata->id, &head.rule_option_tree);
      }
      build_tree(nullptr, &head.rule_option_tree);
    }
  }
  return 0;
}

namespace {

// Files the words a search finds. When the lists start empty (as the
// module's callers give them) repeats are told by the patterns' keys;
// otherwise by comparing the texts in the lists.
class Filer {
 public:
  Filer(int numKeys, char (*l1)[64], char (*l2)[64], char (*l3)[64], uint64_t *seenBuf,
        size_t seenWords)
      : lists_{nullptr, l1, l2, l3} {
    exact_ = (l1 && l1[0][0]) || (l2 && l2[0][0]) || (l3 && l3[0][0]) ||
             static_cast<size_t>(numKeys) > seenWords * 64;
    seen_ = seenBuf;
    seenWords_ = (static_cast<size_t>(numKeys) + 63) / 64;
  }

  // The pattern's own record is read only to store or compare its text.
  // True when filing the entry again will change nothing: its text is a
  // repeat from now on, or it files nowhere.
  bool file(const AcsmTable::EntryInfo &in, const ACSM_PATTERN *p) {
    const int num = in.num;
    if (num < 1 || num > 3 || !lists_[num]) return true;
    char(*list)[64] = lists_[num];
    bool isNew = true;
    if (exact_ || in.emptyWord) {
      for (int k = 0; k < 100; ++k) {
        if (!list[k][0]) {
          std::strcpy(list[k], p->szKeyWord);
          break;
        }
        if (strcasecmp(list[k], p->szKeyWord) == 0) {
          isNew = false;
          break;
        }
      }
    } else {
      if (!seenReady_) {
        std::memset(seen_, 0, seenWords_ * sizeof(uint64_t));
        seenReady_ = true;
      }
      const uint32_t key = static_cast<uint32_t>(in.fileKey);
      if ((seen_[key >> 6] >> (key & 63)) & 1) {
        isNew = false;
      } else if (filled_[num] < 100) {
        // The text with the zeros after it (szKeyWord is zero-filled): a
        // copy of known length costs less than finding its end.
        static_assert(sizeof p->szKeyWord == 32, "a keyword text has 32 bytes");
        std::memcpy(list[filled_[num]++], p->szKeyWord, sizeof p->szKeyWord);
        seen_[key >> 6] |= uint64_t{1} << (key & 63);
      }
      // A text that finds the list full is not stored and counts again.
    }
    if (isNew && in.charType >= 1) counts_[in.charType]++;
    return !exact_ && !in.emptyWord && ((seen_[in.fileKey >> 6] >> (in.fileKey & 63)) & 1);
  }

  int charset() const {
    if (counts_[3] >= counts_[2] && counts_[3] >= counts_[1]) return 3;
    return counts_[2] >= counts_[1] ? 2 : 1;
  }

 private:
  char (*lists_[4])[64];
  bool exact_ = false;
  uint64_t *seen_ = nullptr;
  size_t seenWords_ = 0;
  bool seenReady_ = false;
  int filled_[4] = {};
  int counts_[4] = {};
};

// What handling a match needs: where to file, the boundaries, and for a
// folded search the text and its classes.
struct MatchCtx {
  Filer &filer;
  const uint64_t *gbkStarts;
  const unsigned char *tx;
  const uint8_t *fold;  // null: the text is searched as it is
  uint8_t selfClass;
  const AcsmSpill *spill;  // room for held-back matches; null: none
  // Match rows (from firstMatchRow) whose every entry files nothing more
  // and counts wherever it is found: a bit each, cleared at the first match;
  // null: not kept.
  uint64_t *settled = nullptr;
  size_t settledWords = 0;
  bool settledReady = false;
  bool dropped(int i) const { return fold[tx[i]] == selfClass; }
  // The position of the first byte of the pattern that ends at `end`: in a
  // folded search, n kept bytes back.
  int startOf(int len, int end) const {
    if (!fold) return end - len + 1;
    int kept = 0, i = end;
    for (; i >= 0; --i)
      if (!dropped(i) && ++kept == len) break;
    return i;
  }
};

inline bool startsOnBoundary(const AcsmTable::EntryInfo &in, const ACSM_PATTERN *p, int end,
                             const MatchCtx &ctx) {
  if (!ctx.gbkStarts || in.charType != 1 || in.len == 0) return true;
  const int start = ctx.startOf(in.len == AcsmTable::kLongLen ? p->n : in.len, end);
  if (start < 0) return true;  // began in an earlier text: nothing to judge it by
  return (ctx.gbkStarts[start >> 6] >> (start & 63)) & 1;
}

// Files the entries of one match state reached at text position i; true if
// at least one counted. In a folded search a dropped byte only keeps the
// state: no new match ends there.
inline bool onMatch(const ACSM_STRUCT *acsm, uint32_t row, int i, MatchCtx &ctx) {
  if (ctx.fold && ctx.dropped(i)) return false;
  const AcsmTable &tb = *acsm->table;
  static_assert(sizeof(AcsmTable::MatchRow) == 16, "a match row is 16 bytes");
  const uint32_t m = row - tb.firstMatchRow;
  // Most matches of a text full of keywords are repeats: a row that can
  // change nothing more only counts, from a bitmap that stays in the cache.
  if (ctx.settled) {
    if (!ctx.settledReady) {
      std::memset(ctx.settled, 0, ctx.settledWords * sizeof(uint64_t));
      ctx.settledReady = true;
    }
    if ((ctx.settled[m >> 6] >> (m & 63)) & 1) return true;
  }
  const AcsmTable::MatchRow &r = tb.matchRows[m];
  bool any = false, settles = r.begin < r.end;
  for (uint32_t e = r.begin; e < r.end; ++e) {
    const AcsmTable::EntryInfo &in = e == r.begin ? r.first : tb.info[e];
    // A GBK form counts only where a character begins: never settled.
    if (ctx.gbkStarts && in.charType == 1 && in.len != 0) settles = false;
    if (!startsOnBoundary(in, tb.entries[e], i, ctx)) continue;
    any = true;
    if (!ctx.filer.file(in, tb.entries[e])) settles = false;
  }
  if (settles && ctx.settled) ctx.settled[m >> 6] |= uint64_t{1} << (m & 63);
  return any;
}

// Two words p[0], p[1] by one load.
inline void loadPair(const uint32_t *p, uint32_t *a, uint32_t *b) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  *a = static_cast<uint32_t>(w >> 32);
  *b = static_cast<uint32_t>(w);
#else
  *a = static_cast<uint32_t>(w);
  *b = static_cast<uint32_t>(w >> 32);
#endif
}

// One step. Fold: the class that keeps the state is told apart first (deep
// states hold no cell for it). Uniform: every state through its record (see
// AcsmTable), for text that keeps the walk in deep states; otherwise a
// shallow state takes its row at once.
template <bool Fold, bool Uniform = false>
struct Stepper {
  const uint32_t *rows;
  const uint32_t *records;  // rows + stride: the record of x at records + x
  const AcsmTable::Cell *more;
  const AcsmTable *tb;
  const uint8_t *cls;
  uint32_t selfClass;
  uint32_t deepBase;

  explicit Stepper(const AcsmTable &t)
      : rows(t.rows.data()),
        records(t.rows.data() + t.stride),
        more(t.more.data()),
        tb(&t),
        cls(Fold ? t.clsFold : t.cls),
        selfClass(t.selfClass),
        deepBase(t.deepBase) {}

  inline uint32_t operator()(uint32_t v, unsigned char b) const {
    const uint32_t c = cls[b];
    if (Fold && c == selfClass) return v;
    const uint32_t x = v >> 2;
    if (!Uniform && __builtin_expect(x < deepBase, 1)) return rows[x + c];
    // The record as two loads of two words each, not four.
    static_assert(
        AcsmTable::kNext == AcsmTable::kRow + 1 && AcsmTable::kMask == AcsmTable::kFirst + 1,
        "a record's words pair up");
    uint32_t from, own, first, mask;
    loadPair(records + x + AcsmTable::kRow, &from, &own);
    loadPair(records + x + AcsmTable::kFirst, &first, &mask);
    const uint32_t fromRow = rows[from + c];
    // Chosen without a branch (a conditional move): whether the text goes
    // on with the keyword is as unforeseeable as the text.
    const uint32_t next =
        __builtin_expect_with_probability((first & 0x1FF) == c, 1, 0.5) ? own : fromRow;
    if (__builtin_expect((mask >> (c & 31)) & 1, 0)) return further(first, c, next);
    return next;
  }
  uint32_t further(uint32_t first, uint32_t c, uint32_t next) const {
    for (const AcsmTable::Cell *p = more + (first >> 9); p->cls <= c; ++p)
      if (p->cls == c) return p->next;
    return next;
  }
  static bool isMatch(uint32_t v) { return v & AcsmTable::kMatch; }
  inline uint32_t row(uint32_t v) const { return tb->matchRow(v); }
};

// One walk over [from, to) handling matches as they come.
template <class Step>
int walk(const ACSM_STRUCT *acsm, const Step &step, const unsigned char *tx, int from, int to,
         uint32_t &state, MatchCtx &ctx) {
  uint32_t s = state;
  int matches = 0;
  for (int i = from; i < to; ++i) {
    s = step(s, tx[i]);
    if (__builtin_expect(Step::isMatch(s), 0) && onMatch(acsm, step.row(s), i, ctx)) ++matches;
  }
  state = s;
  return matches;
}

// A text long enough is cut into kStreams segments walked side by side, so
// that the table lookups of the segments overlap instead of waiting on one
// another. Each segment after the first starts from the start state a
// longest pattern earlier, which brings it to the state a single walk would
// have there. Matches of the first segment are handled as they come; those
// of the others are kept and handled afterwards, in text order, so that the
// words are filed exactly as one walk files them. Six measured faster than
// eight on this machine's texts with many keywords: with a step through the
// state's record, eight states and their texts no longer stay in registers.
constexpr int kStreams = 6;
constexpr int kEventCap = 64;
constexpr int kSpillCap = 4096;

struct Event {
  int pos;
  uint32_t state;
};

template <class Step>
int searchStreams(const ACSM_STRUCT *acsm, const Step &step, const unsigned char *tx, int n,
                  uint32_t &state, MatchCtx &ctx) {
  const AcsmTable &tb = *acsm->table;
  const int warm = tb.maxPatternLen > 0 ? tb.maxPatternLen - 1 : 0;
  const int seg = n / kStreams;
  if (seg < 4 * warm + 64) return walk(acsm, step, tx, 0, n, state, ctx);
  // Where a segment's warm-up starts: a longest pattern back, counted in
  // kept bytes when the search is folded.
  auto warmStart = [&](int at) {
    if (!ctx.fold) return at - warm;
    int kept = 0, i = at;
    while (i > 0 && kept < warm)
      if (!ctx.dropped(--i)) ++kept;
    return i;
  };

  int begin[kStreams], end[kStreams], cur[kStreams];
  uint32_t st[kStreams];
  for (int k = 0; k < kStreams; ++k) {
    begin[k] = k * seg;
    end[k] = k == kStreams - 1 ? n : (k + 1) * seg;
    cur[k] = k == 0 ? 0 : warmStart(begin[k]);
    st[k] = k == 0 ? state : tb.startState;
  }
  // Each stream holds its matches back in a few slots of its own; one that
  // needs more moves to the caller's room, taken at the first such need, of
  // up to kSpillCap a stream. A stream with no more room stops holding
  // back and walks the rest of its segment alone, after the ones before.
  Event inlineEvents[kStreams][kEventCap];
  Event *events[kStreams];
  int capacity[kStreams];
  for (int k = 0; k < kStreams; ++k) {
    events[k] = inlineEvents[k];
    capacity[k] = kEventCap;
  }
  Event *spilled = nullptr;
  bool spillTaken = false;
  const int spillCap = std::min(seg + 1, kSpillCap);
  int count[kStreams] = {};
  int overflowAt[kStreams];
  for (int &o : overflowAt) o = -1;
  uint32_t overflowState[kStreams] = {};
  int matches = 0;

  // The common part: every stream advances by as many bytes as the shortest
  // has before its segment ends. The states stay in registers; the rare
  // match leaves the loop body.
  int common = seg;
  for (int k = 0; k < kStreams; ++k) common = std::min(common, end[k] - cur[k]);
  const unsigned char *p[kStreams];
  for (int k = 0; k < kStreams; ++k) p[k] = tx + cur[k];
  uint32_t s[kStreams];
  for (int k = 0; k < kStreams; ++k) s[k] = st[k];
  for (int j = 0; j < common; ++j) {
    uint32_t any = 0;
#pragma GCC unroll 16
    for (int k = 0; k < kStreams; ++k) {
      s[k] = step(s[k], p[k][j]);
      any |= s[k];
    }
    if (__builtin_expect(Step::isMatch(any), 0)) {
      if (Step::isMatch(s[0]) && onMatch(acsm, step.row(s[0]), j, ctx)) ++matches;
      for (int k = 1; k < kStreams; ++k) {
        const int pos = cur[k] + j;
        if (!Step::isMatch(s[k]) || pos < begin[k] || overflowAt[k] >= 0) continue;
        if (count[k] == capacity[k] && capacity[k] < spillCap) {
          if (!spillTaken && ctx.spill) {
            spillTaken = true;
            spilled = static_cast<Event *>(ctx.spill->take(
                ctx.spill->ctx, sizeof(Event) * kStreams * static_cast<size_t>(spillCap)));
          }
          if (spilled) {
            Event *room = spilled + static_cast<size_t>(k) * spillCap;
            std::memcpy(room, events[k], sizeof(Event) * static_cast<size_t>(count[k]));
            events[k] = room;
            capacity[k] = spillCap;
          }
        }
        if (count[k] < capacity[k]) {
          events[k][count[k]++] = {pos, s[k]};
        } else {
          overflowAt[k] = pos;
          overflowState[k] = s[k];
        }
      }
    }
  }
  for (int k = 0; k < kStreams; ++k) st[k] = s[k];
  for (int k = 0; k < kStreams; ++k) cur[k] += common;

  // The rest of each segment, in order.
  matches += walk(acsm, step, tx, cur[0], end[0], st[0], ctx);
  for (int k = 1; k < kStreams; ++k) {
    for (int e = 0; e < count[k]; ++e)
      if (onMatch(acsm, step.row(events[k][e].state), events[k][e].pos, ctx)) ++matches;
    uint32_t s = st[k];
    int from = cur[k];
    if (overflowAt[k] >= 0) {
      s = overflowState[k];
      if (onMatch(acsm, step.row(s), overflowAt[k], ctx)) ++matches;
      from = overflowAt[k] + 1;
    }
    matches += walk(acsm, step, tx, from, end[k], s, ctx);
    st[k] = s;
  }
  state = st[kStreams - 1];
  if (spilled) ctx.spill->give(ctx.spill->ctx, spilled);
  return matches;
}

int searchCompiled(const ACSM_STRUCT *acsm, const unsigned char *tx, int n, uint32_t &state,
                   MatchCtx &ctx, bool utf8) {
  const AcsmTable &tb = *acsm->table;
  if (ctx.fold) return searchStreams(acsm, Stepper<true>(tb), tx, n, state, ctx);
  if (utf8) return searchStreams(acsm, Stepper<false, true>(tb), tx, n, state, ctx);
  return searchStreams(acsm, Stepper<false>(tb), tx, n, state, ctx);
}

int searchWith(const ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
               int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
               char arrFindKeyOut3[][64], const uint64_t *gbkStarts, bool fold,
               const AcsmSpill *spill = nullptr, bool utf8 = false) {
  if (!current_state) return 0;
  int matches = 0;
  uint64_t seen[512];  // one bit per distinct filed text; up to 32768 texts
  Filer filer(acsm->table ? acsm->table->numFileKeys : 0, arrFindKeyOut1, arrFindKeyOut2,
              arrFindKeyOut3, seen, 512);
  if (n > 0 && acsm->table && Tx) {
    uint32_t s = static_cast<uint32_t>(*current_state);
    const AcsmTable &tb = *acsm->table;
    if (!tb.isState(s)) s = tb.startState;  // not a state: a search from the start
    MatchCtx ctx{filer, gbkStarts, Tx, fold ? tb.clsFold : nullptr, tb.selfClass, spill};
    uint64_t settled[512];
    if (tb.numMatchRows <= 512 * 64) {
      ctx.settled = settled;
      ctx.settledWords = (tb.numMatchRows + 63) / 64;
    }
    matches = searchCompiled(acsm, Tx, n, s, ctx, utf8);
    *current_state = static_cast<int>(s);
  }
  if (nFindKeyWordCharType) *nFindKeyWordCharType = filer.charset();
  return matches;
}

}  // namespace

int acsmSearchFolded(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                     int *nFindKeyWordCharType, char arrFindKeyOut1[][64],
                     char arrFindKeyOut2[][64], char arrFindKeyOut3[][64],
                     const uint64_t *gbkStarts) {
  if (!acsmCanFold(acsm)) return -1;
  return searchWith(acsm, Tx, n, current_state, nFindKeyWordCharType, arrFindKeyOut1,
                    arrFindKeyOut2, arrFindKeyOut3, gbkStarts, true);
}

bool acsmCanFold(const ACSM_STRUCT *acsm) {
  return acsm && acsm->table && acsm->table->canFold;
}

int acsmSearchEx(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                 int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
                 char arrFindKeyOut3[][64], const uint64_t *gbkStarts) {
  return searchWith(acsm, Tx, n, current_state, nFindKeyWordCharType, arrFindKeyOut1,
                    arrFindKeyOut2, arrFindKeyOut3, gbkStarts, false);
}

int acsmSearchSpill(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                    int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
                    char arrFindKeyOut3[][64], const uint64_t *gbkStarts, const AcsmSpill *spill,
                    bool utf8) {
  return searchWith(acsm, Tx, n, current_state, nFindKeyWordCharType, arrFindKeyOut1,
                    arrFindKeyOut2, arrFindKeyOut3, gbkStarts, false, spill, utf8);
}

int acsmSearch(ACSM_STRUCT *acsm, unsigned char *Tx, int n, char * /*data*/, int *current_state,
               int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
               char arrFindKeyOut3[][64]) {
  return acsmSearchEx(acsm, Tx, n, current_state, nFindKeyWordCharType, arrFindKeyOut1,
                      arrFindKeyOut2, arrFindKeyOut3, nullptr);
}

int acsmPatternCount(ACSM_STRUCT *acsm) {
  return acsm->numPatterns;
}

void acsmFree(ACSM_STRUCT *acsm) {
  if (!acsm) return;
  if (acsm->table) {
    const AcsmTable &tb = *acsm->table;
    for (uint32_t m = 0; m < tb.numMatchRows; ++m) {
      ACSM_STATETABLE &row = acsm->acsmStateTable[m];
      for (uint32_t i = row.MatchBegin; i < row.MatchEnd; ++i) {
        ACSM_USERDATA *u = tb.entries[i]->udata;
        if (u->ref_count > 0 && --u->ref_count == 0 && acsm->userfree && u->id)
          acsm->userfree(u->id);
      }
      if (acsm->optiontreefree && row.rule_option_tree) acsm->optiontreefree(&row.rule_option_tree);
      if (acsm->neg_list_free && row.neg_list) acsm->neg_list_free(&row.neg_list);
    }
    delete acsm->table;
  }
  AC_FREE(acsm->acsmStateTable);
  for (ACSM_PATTERN *p = acsm->acsmPatterns; p;) {
    ACSM_PATTERN *next = p->next;
    AC_FREE(p->udata);
    AC_FREE(p->patrn);
    AC_FREE(p);
    p = next;
  }
  AC_FREE(acsm);
}

size_t acsmTableBytes(const ACSM_STRUCT *acsm) {
  if (!acsm || !acsm->table) return 0;
  const AcsmTable &tb = *acsm->table;
  return sizeof(AcsmTable) + tb.rows.capacity() * sizeof(uint32_t) +
         tb.more.capacity() * sizeof(AcsmTable::Cell) + tb.entries.capacity() * sizeof(void *) +
         tb.info.capacity() * sizeof(AcsmTable::EntryInfo) +
         tb.matchRows.capacity() * sizeof(AcsmTable::MatchRow) +
         tb.numMatchRows * sizeof(ACSM_STATETABLE);
}

size_t acsmFullTableBytes(const ACSM_STRUCT *acsm) {
  // 256 int next states, the failure state and the match-list head per row.
  struct FullRow {
    int NextState[256];
    int FailState;
    ACSM_PATTERN *MatchList;
  };
  return acsm ? static_cast<size_t>(acsm->acsmMaxStates) * sizeof(FullRow) : 0;
}

int acsmClassCount(const ACSM_STRUCT *acsm) {
  return acsm && acsm->table ? static_cast<int>(acsm->table->stride) : 0;
}

size_t acsmForEachMatch(ACSM_STRUCT *acsm, const unsigned char *Tx, int n,
                        void (*fn)(void *ctx, const ACSM_PATTERN *p, int end), void *ctx) {
  if (!acsm || !acsm->table || !Tx) return 0;
  const AcsmTable &tb = *acsm->table;
  size_t calls = 0;
  const Stepper<false> step(tb);
  uint32_t s = tb.startState;
  for (int i = 0; i < n; ++i) {
    s = step(s, Tx[i]);
    if (!step.isMatch(s)) continue;
    const uint32_t row = step.row(s);
    const ACSM_STATETABLE &st = acsm->acsmStateTable[row - tb.firstMatchRow];
    for (uint32_t e = st.MatchBegin; e < st.MatchEnd; ++e, ++calls) fn(ctx, tb.entries[e], i);
  }
  return calls;
}
