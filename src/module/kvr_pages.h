// The block pages compiled into the module (GBK, CR LF line ends).
#pragma once

extern const char *const strReqMetMsg;         // %s %s: the method
extern const char *const stReadConfErrMsg;     // no placeholders
extern const char *const strUrlLenMsg;         // %d %d: the length limit
extern const char *const strBlockUrlMsg;       // no placeholders
extern const char *const strBlockSQLMsg;       // no placeholders
extern const char *const strBlockFilePathMsg;  // %s %s: the list entry
extern const char *const strPostSizeMsg;       // %d %d: the size limit

// Content type of every page the request screening sends.
extern const char *const kvrPageContentType;
