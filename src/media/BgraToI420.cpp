#include "media/BgraToI420.h"

#include <immintrin.h>

namespace platform {

namespace {

// Fixed-point BT.709 limited-range coefficients, scaled by 128 so that they fit the signed
// bytes of the vector multiply-add; in memory order B, G, R.
constexpr int kYb = 8, kYg = 79, kYr = 23;
constexpr int kUb = 56, kUg = -43, kUr = -13;
constexpr int kVb = -5, kVg = -51, kVr = 56;

std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Columns [from, width) of one pair of rows.
void convertTail(const std::uint8_t* top, const std::uint8_t* bottom, int from, int width,
                 std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* u, std::uint8_t* v) {
    for (int x = from; x < width; ++x) {
        const std::uint8_t* a = top + 4 * x;
        const std::uint8_t* b = bottom + 4 * x;
        yTop[x] = clampByte(16 + ((kYb * a[0] + kYg * a[1] + kYr * a[2] + 64) >> 7));
        yBottom[x] = clampByte(16 + ((kYb * b[0] + kYg * b[1] + kYr * b[2] + 64) >> 7));
    }
    for (int x = from / 2; x < width / 2; ++x) {
        const std::uint8_t* a = top + 8 * x;
        const std::uint8_t* b = bottom + 8 * x;
        const int blue = a[0] + a[4] + b[0] + b[4];
        const int green = a[1] + a[5] + b[1] + b[5];
        const int red = a[2] + a[6] + b[2] + b[6];
        u[x] = clampByte(128 + ((kUb * blue + kUg * green + kUr * red + 256) >> 9));
        v[x] = clampByte(128 + ((kVb * blue + kVg * green + kVr * red + 256) >> 9));
    }
}

#define KORVANE_SSSE3 __attribute__((target("ssse3")))

// Sixteen pixels of one row to sixteen luma samples.
KORVANE_SSSE3 __m128i lumaOf16(const std::uint8_t* pixels) {
    const __m128i coefficients =
        _mm_setr_epi8(kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0);
    const __m128i* p = reinterpret_cast<const __m128i*>(pixels);
    const __m128i low = _mm_hadd_epi16(_mm_maddubs_epi16(_mm_loadu_si128(p), coefficients),
                                       _mm_maddubs_epi16(_mm_loadu_si128(p + 1), coefficients));
    const __m128i high = _mm_hadd_epi16(_mm_maddubs_epi16(_mm_loadu_si128(p + 2), coefficients),
                                        _mm_maddubs_epi16(_mm_loadu_si128(p + 3), coefficients));
    const __m128i round = _mm_set1_epi16(64);
    const __m128i offset = _mm_set1_epi16(16);
    return _mm_packus_epi16(_mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(low, round), 7), offset),
                            _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(high, round), 7), offset));
}

// Eight chroma samples from sixteen vertically averaged pixels.
KORVANE_SSSE3 __m128i chromaOf16(const __m128i averaged[4], __m128i coefficients) {
    const __m128i first = _mm_hadd_epi16(_mm_maddubs_epi16(averaged[0], coefficients),
                                         _mm_maddubs_epi16(averaged[1], coefficients));
    const __m128i second = _mm_hadd_epi16(_mm_maddubs_epi16(averaged[2], coefficients),
                                          _mm_maddubs_epi16(averaged[3], coefficients));
    const __m128i pairs = _mm_hadd_epi16(first, second);  // two pixels each: divide by 2 x 128
    return _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(pairs, _mm_set1_epi16(128)), 8),
                         _mm_set1_epi16(128));
}

// Converts the columns it can in blocks of sixteen; returns how many.
KORVANE_SSSE3 int convertRowsSsse3(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                                   std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* u,
                                   std::uint8_t* v) {
    const __m128i uCoefficients =
        _mm_setr_epi8(kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0);
    const __m128i vCoefficients =
        _mm_setr_epi8(kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const std::uint8_t* a = top + 4 * x;
        const std::uint8_t* b = bottom + 4 * x;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(yTop + x), lumaOf16(a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(yBottom + x), lumaOf16(b));
        __m128i averaged[4];
        for (int k = 0; k < 4; ++k) {
            averaged[k] = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a) + k),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b) + k));
        }
        const __m128i uv = _mm_packus_epi16(chromaOf16(averaged, uCoefficients),
                                            chromaOf16(averaged, vCoefficients));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), uv);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_srli_si128(uv, 8));
    }
    return x;
}

#define KORVANE_AVX2 __attribute__((target("avx2")))

// Two blocks of sixteen pixels side by side, one per 128-bit lane: the same arithmetic as the
// SSSE3 path, lane for lane, so both give the same bytes. Lane 0 holds pixels [at, at + 4) of
// the first block, lane 1 the same of the second.
KORVANE_AVX2 __m256i twoBlocks(const std::uint8_t* pixels, int at) {
    const auto* first = reinterpret_cast<const __m128i*>(pixels + 4 * at);
    const auto* second = reinterpret_cast<const __m128i*>(pixels + 4 * (at + 16));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(first)),
                                   _mm_loadu_si128(second), 1);
}

KORVANE_AVX2 __m256i lumaOf32(const __m256i quarters[4]) {
    const __m256i coefficients =
        _mm256_setr_epi8(kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0,
                         kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0, kYb, kYg, kYr, 0);
    const __m256i low = _mm256_hadd_epi16(_mm256_maddubs_epi16(quarters[0], coefficients),
                                          _mm256_maddubs_epi16(quarters[1], coefficients));
    const __m256i high = _mm256_hadd_epi16(_mm256_maddubs_epi16(quarters[2], coefficients),
                                           _mm256_maddubs_epi16(quarters[3], coefficients));
    const __m256i round = _mm256_set1_epi16(64);
    const __m256i offset = _mm256_set1_epi16(16);
    return _mm256_packus_epi16(
        _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(low, round), 7), offset),
        _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(high, round), 7), offset));
}

KORVANE_AVX2 __m256i chromaOf32(const __m256i averaged[4], __m256i coefficients) {
    const __m256i first = _mm256_hadd_epi16(_mm256_maddubs_epi16(averaged[0], coefficients),
                                            _mm256_maddubs_epi16(averaged[1], coefficients));
    const __m256i second = _mm256_hadd_epi16(_mm256_maddubs_epi16(averaged[2], coefficients),
                                             _mm256_maddubs_epi16(averaged[3], coefficients));
    const __m256i pairs = _mm256_hadd_epi16(first, second);
    return _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(pairs, _mm256_set1_epi16(128)), 8),
                            _mm256_set1_epi16(128));
}

// Converts the columns it can in blocks of thirty-two; returns how many.
KORVANE_AVX2 int convertRowsAvx2(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                                 std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* u,
                                 std::uint8_t* v) {
    const __m256i uCoefficients =
        _mm256_setr_epi8(kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0,
                         kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0);
    const __m256i vCoefficients =
        _mm256_setr_epi8(kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0,
                         kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i a[4], b[4], averaged[4];
        for (int k = 0; k < 4; ++k) {
            a[k] = twoBlocks(top, x + 4 * k);
            b[k] = twoBlocks(bottom, x + 4 * k);
            averaged[k] = _mm256_avg_epu8(a[k], b[k]);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(yTop + x), lumaOf32(a));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(yBottom + x), lumaOf32(b));
        // Per lane: eight U then eight V; gathered into sixteen U, then sixteen V.
        const __m256i uv =
            _mm256_permute4x64_epi64(_mm256_packus_epi16(chromaOf32(averaged, uCoefficients),
                                                         chromaOf32(averaged, vCoefficients)),
                                     0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(uv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2), _mm256_extracti128_si256(uv, 1));
    }
    return x;
}

}  // namespace

void convertBgraToI420(const std::uint8_t* bgra, int bgraStride, int width, int height,
                       std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v,
                       int vStride) {
    static const bool simd = __builtin_cpu_supports("ssse3");
    static const bool wide = __builtin_cpu_supports("avx2");
    for (int row = 0; row + 1 < height; row += 2) {
        const std::uint8_t* top = bgra + static_cast<std::ptrdiff_t>(row) * bgraStride;
        const std::uint8_t* bottom = top + bgraStride;
        std::uint8_t* yTop = y + static_cast<std::ptrdiff_t>(row) * yStride;
        std::uint8_t* yBottom = yTop + yStride;
        std::uint8_t* uRow = u + static_cast<std::ptrdiff_t>(row / 2) * uStride;
        std::uint8_t* vRow = v + static_cast<std::ptrdiff_t>(row / 2) * vStride;
        int done = wide ? convertRowsAvx2(top, bottom, width, yTop, yBottom, uRow, vRow) : 0;
        if (simd) {
            done += convertRowsSsse3(top + 4 * done, bottom + 4 * done, width - done, yTop + done,
                                     yBottom + done, uRow + done / 2, vRow + done / 2);
        }
        convertTail(top, bottom, done, width, yTop, yBottom, uRow, vRow);
    }
}

}  // namespace platform
