// Which vector instructions the searches of the keyword checks may use.
// Found once from the processor (and the system's support for its
// registers); tests and benchmarks may lower it to compare the code paths.
#pragma once

enum KvrSimdLevel : int {
  kKvrSimdScalar = 0,  // plain code (SSE2 where the build has it)
  kKvrSimdAvx2 = 1,
  kKvrSimdAvx512 = 2,  // AVX-512 F, BW and VBMI2
};

KvrSimdLevel kvrSimdLevel();
// The level the processor offers, whatever has been forced.
KvrSimdLevel kvrSimdLevelOffered();
// Uses at most `level` from now on (never more than offered); returns the
// level in use before.
KvrSimdLevel kvrForceSimdLevel(KvrSimdLevel level);

// Whether to use the bit extract instruction (BMI2 pext): where it is fast,
// not on AMD processors before Zen 3, which microcode it (tens to hundreds
// of cycles). Tests may turn it off to compare the code paths; returns the
// setting before.
bool kvrUseBitExtract();
bool kvrForceBitExtract(bool use);
