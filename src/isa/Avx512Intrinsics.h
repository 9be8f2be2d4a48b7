// The AVX-512 intrinsics, for sources built with AVX-512 enabled (*_avx512.cc)
// only. GCC 12 reports its own placeholder registers (_mm512_undefined_*,
// which many intrinsics pass as the unused merge source) as uninitialized
// wherever they are inlined; the two uninitialized-variable warnings are off
// for the rest of such a source, which must include this header first.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>
