// The two GET keyword automata and the resolution of found words to the
// keyword entry they complete.
#pragma once

#include "match/acsm.h"

extern ACSM_STRUCT *acsm_vazidez_getkeyb;  // table b: recorded keywords
extern ACSM_STRUCT *acsm_vazidez_getkeyc;  // table c: blocking keywords

// Splits a key at its commas into at most three words; returns the word
// count (0 for a null key or one that starts with a comma, 4 when a fourth
// word begins). The caller zeroes the words first.
int kvrSplitKeyWord(const char *szKeyWord, char szMultiKeyWord[3][256]);
int kvrKeyWord2AC();
// Changes with every build of the GET automata: what was found of a text
// with earlier tables says nothing of it now.
unsigned kvrTablesGeneration();
// Frees both automata and their prefilter, for a process that no longer
// searches them (a server parent between two configurations).
void kvrFreeKeywordAutomata();

// Each returns the index of the first entry (in table order) whose words
// are all among the found words, or -1; and writes the matched words.
int nVazidezGetChkKeyIndex1(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                            char *key3);
int nVazidezGetChkKeyIndex2(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                            char *key3);
int nVazidezGetChkKeyIndex3(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                            char *key3);
int nVazidezGetBlockKeyIndex1(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                              char *key3);
int nVazidezGetBlockKeyIndex2(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                              char *key3);
int nVazidezGetBlockKeyIndex3(int nKeyCharType, char arrFindKeyOut[][64], char *key1, char *key2,
                              char *key3);
