// Aho-Corasick automaton over bytes. Patterns carry the module's keyword
// data; a search files each newly seen keyword text in one of three lists
// (by the word count of its entry) and reports which charset accounted for
// most of the distinct words found.
//
// The compiled automaton is deterministic: no failure links are followed
// while searching. States up to two bytes deep (where ordinary text keeps
// the walk) have full rows over byte classes, one lookup per byte; each
// deeper state keeps only the transitions that differ from those of the
// nearest such state on its failure chain, which takes the rest, through a
// small record. A state value tells a match state by one bit.
#pragma once

#include <cstddef>
#include <cstdint>

struct ACSM_USERDATA {
  unsigned int ref_count;  // match-list entries that refer to this record
  void *id;                // the caller's pattern identity, never dereferenced
};

struct ACSM_PATTERN {
  ACSM_PATTERN *next;    // next record of the pattern list
  unsigned char *patrn;  // the automaton's own copy of the pattern bytes
  int n;                 // pattern length
  int nocase;
  int offset;
  int depth;
  int negative;
  int nUserType;
  char szKeyWord[32];    // the text the search files (at most 31 bytes)
  int nKeyWordCharType;  // 1 GBK, 2 UTF-8, 3 BIG5
  int nKeyWordNum;       // word count of the keyword entry: selects the list
  int nKeyWordIndex;     // index of the entry in the caller's table
  ACSM_USERDATA *udata;
  int iid;
  void *rule_option_tree;
  void *neg_list;
  int nFileKey;  // same number for patterns that file the same text in the same list
};

// One row per match state (the other states need none): where its match
// list lies among the compiled entries, and what the optional compile
// callbacks attach to the head of that list.
struct ACSM_STATETABLE {
  uint32_t MatchBegin;
  uint32_t MatchEnd;
  void *rule_option_tree;
  void *neg_list;
};

struct AcsmTable;  // the compiled transitions

struct ACSM_STRUCT {
  int acsmMaxStates;           // 1 + the sum of all pattern lengths (rows of a trie of them)
  int acsmNumStates;           // highest state number in use after compilation
  ACSM_PATTERN *acsmPatterns;  // most recently added first
  ACSM_STATETABLE *acsmStateTable;
  int bcSize;
  short bcShift[256];
  int numPatterns;
  void (*userfree)(void *p);
  void (*optiontreefree)(void **p);
  void (*neg_list_free)(void **p);
  AcsmTable *table;
};

ACSM_STRUCT *acsmNew(void (*userfree)(void *p), void (*optiontreefree)(void **p),
                     void (*neg_list_free)(void **p));
int acsmAddPattern(ACSM_STRUCT *p, unsigned char *pat, int n, int nocase, int offset, int depth,
                   int negative, void *id, int iid, int nKeyWordNum, int nKeyWordIndex,
                   char *szKeyWord, int nKeyWordCharType, int nUserType);
int acsmCompile(ACSM_STRUCT *acsm, int (*build_tree)(void *id, void **existing_tree),
                int (*neg_list_func)(void *id, void **list));
int acsmSearch(ACSM_STRUCT *acsm, unsigned char *Tx, int n, char *data, int *current_state,
               int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
               char arrFindKeyOut3[][64]);
// The same search with the character-boundary rule for GBK forms: a pattern
// of charset 1 counts only where it starts at a position whose bit is set in
// gbkStarts (bit i of word i / 64 for text position i). A null bitmap turns
// the rule off.
int acsmSearchEx(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                 int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
                 char arrFindKeyOut3[][64], const uint64_t *gbkStarts);
// Room a search may take while it walks a long text as interleaved
// segments, for the matches of later segments it holds back (8 bytes a
// match, at most 256 KiB, taken once a segment has more than a few):
// take(ctx, bytes) gives it or null, give(ctx, p) takes it back at the end.
struct AcsmSpill {
  void *(*take)(void *ctx, size_t bytes);
  void (*give)(void *ctx, void *p);
  void *ctx;
};
// acsmSearchEx with that room: the same results; without it a segment
// with many matches is walked again alone, which takes longer. utf8 says
// that the text is UTF-8, which is walked faster another way; the results
// are the same either way.
int acsmSearchSpill(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                    int *nFindKeyWordCharType, char arrFindKeyOut1[][64], char arrFindKeyOut2[][64],
                    char arrFindKeyOut3[][64], const uint64_t *gbkStarts, const AcsmSpill *spill,
                    bool utf8 = false);
// The same search over a text as if it were its filtered form (the
// response and POST checks drop NUL, TAB, LF, CR, space and ASCII
// punctuation and lower-case ASCII letters): those bytes keep the state, and
// upper-case letters count as lower-case. The text must hold no "&nbsp;"
// (the filter drops it whole). Words, charset result and match count are
// those of acsmSearchEx over the filtered text, positions and boundaries
// those of the unfiltered one. -1 when the automaton cannot (a pattern holds
// an upper-case letter).
int acsmSearchFolded(ACSM_STRUCT *acsm, const unsigned char *Tx, int n, int *current_state,
                     int *nFindKeyWordCharType, char arrFindKeyOut1[][64],
                     char arrFindKeyOut2[][64], char arrFindKeyOut3[][64],
                     const uint64_t *gbkStarts);
bool acsmCanFold(const ACSM_STRUCT *acsm);
int acsmPatternCount(ACSM_STRUCT *acsm);
void acsmFree(ACSM_STRUCT *acsm);

// Bytes of the compiled table (transitions, classes, match lists, rows), and
// the bytes the layout of 256 ints per row would take for the same patterns.
size_t acsmTableBytes(const ACSM_STRUCT *acsm);
size_t acsmFullTableBytes(const ACSM_STRUCT *acsm);
int acsmClassCount(const ACSM_STRUCT *acsm);

// Every pattern that ends at a text position, in match-list order: calls
// fn(ctx, pattern, endPosition) and returns the number of calls. For tests
// and benchmarks; ignores the boundary rule.
size_t acsmForEachMatch(ACSM_STRUCT *acsm, const unsigned char *Tx, int n,
                        void (*fn)(void *ctx, const ACSM_PATTERN *p, int end), void *ctx);
