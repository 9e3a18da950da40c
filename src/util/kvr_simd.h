// The vector intrinsics of x86-64, for code that picks its instruction set
// at run time (util/kvr_cpu.h) with target attributes.
#pragma once

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <immintrin.h>
#endif
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 warns inside its own AVX-512 headers (the undefined vector that
// some intrinsics start from).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
