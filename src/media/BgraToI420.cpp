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

}  // namespace

void convertBgraToI420(const std::uint8_t* bgra, int bgraStride, int width, int height,
                       std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v,
                       int vStride) {
    static const bool simd = __builtin_cpu_supports("ssse3");
    for (int row = 0; row + 1 < height; row += 2) {
        const std::uint8_t* top = bgra + static_cast<std::ptrdiff_t>(row) * bgraStride;
        const std::uint8_t* bottom = top + bgraStride;
        std::uint8_t* yTop = y + static_cast<std::ptrdiff_t>(row) * yStride;
        std::uint8_t* yBottom = yTop + yStride;
        std::uint8_t* uRow = u + static_cast<std::ptrdiff_t>(row / 2) * uStride;
        std::uint8_t* vRow = v + static_cast<std::ptrdiff_t>(row / 2) * vStride;
        const int done = simd ? convertRowsSsse3(top, bottom, width, yTop, yBottom, uRow, vRow) : 0;
        convertTail(top, bottom, done, width, yTop, yBottom, uRow, vRow);
    }
}

}  // namespace platform
