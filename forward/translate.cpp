#include "forward/translate.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kiv {

void translate_bytewise(uint8_t* block, size_t size, const uint8_t* table) {
  for (size_t i = 0; i < size; ++i) block[i] = table[block[i]];
}

namespace {

#if defined(__x86_64__)
// AVX-512 VBMI looks 64 bytes up at once in 128 table entries: one lookup in
// each half of the table, and the top bit of each byte picks the half. A
// byte-at-a-time loop would spend a fifth of a pump's time on a busy relay.
#define KIV_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

struct WideTable {
  __m512i low_first, low_second, high_first, high_second;
};

KIV_VBMI inline __m512i look_up(const WideTable& wide, __m512i bytes) {
  __m512i low = _mm512_permutex2var_epi8(wide.low_first, bytes, wide.low_second);
  __m512i high = _mm512_permutex2var_epi8(wide.high_first, bytes, wide.high_second);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(bytes), low, high);
}

KIV_VBMI void translate_vbmi(uint8_t* block, size_t size, const uint8_t* table) {
  const WideTable wide{_mm512_loadu_si512(table), _mm512_loadu_si512(table + 64),
                       _mm512_loadu_si512(table + 128), _mm512_loadu_si512(table + 192)};
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    _mm512_storeu_si512(block + i, look_up(wide, _mm512_loadu_si512(block + i)));
  }
  if (i < size) {
    __mmask64 rest = (1ull << (size - i)) - 1;
    _mm512_mask_storeu_epi8(block + i, rest,
                            look_up(wide, _mm512_maskz_loadu_epi8(rest, block + i)));
  }
}
#endif

}  // namespace

Translator wide_translator() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi")) {
    return translate_vbmi;
  }
#endif
  return nullptr;
}

void translate(uint8_t* block, size_t size, const uint8_t* table) {
  static const Translator wide = wide_translator();
  static const Translator chosen = wide != nullptr ? wide : translate_bytewise;
  chosen(block, size, table);
}

}  // namespace kiv
