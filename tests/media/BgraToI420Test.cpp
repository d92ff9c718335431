#include "media/BgraToI420.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// BT.709 limited range, in floating point.
double lumaOf(double r, double g, double b) {
    return 16 + 0.1826 * r + 0.6142 * g + 0.0620 * b;
}
double cbOf(double r, double g, double b) {
    return 128 - 0.1006 * r - 0.3386 * g + 0.4392 * b;
}
double crOf(double r, double g, double b) {
    return 128 + 0.4392 * r - 0.3989 * g - 0.0403 * b;
}

}  // namespace

// 70 columns: vector blocks (two of thirty-two, or four of sixteen) and a tail of six, so both
// kinds of path are checked.
TEST(BgraToI420Test, MatchesTheBt709FormulasOnTheVectorPathAndTheTail) {
    constexpr int width = 70;
    constexpr int height = 6;
    std::vector<std::uint8_t> bgra(width * height * 4);
    std::srand(7);
    for (std::size_t i = 0; i < bgra.size(); ++i) {
        bgra[i] = static_cast<std::uint8_t>(i % 4 == 3 ? std::rand() : (std::rand() % 256));
    }
    std::vector<std::uint8_t> y(width * height), u(width / 2 * height / 2),
        v(width / 2 * height / 2);
    platform::convertBgraToI420(bgra.data(), width * 4, width, height, y.data(), width, u.data(),
                                width / 2, v.data(), width / 2);
    auto px = [&](int x, int row, int channel) {
        return static_cast<double>(bgra[(row * width + x) * 4 + channel]);
    };
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const double expected = lumaOf(px(x, row, 2), px(x, row, 1), px(x, row, 0));
            ASSERT_NEAR(y[row * width + x], expected, 2.0) << "luma at " << x << "," << row;
        }
    }
    for (int row = 0; row < height / 2; ++row) {
        for (int x = 0; x < width / 2; ++x) {
            double r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    r += px(2 * x + dx, 2 * row + dy, 2) / 4;
                    g += px(2 * x + dx, 2 * row + dy, 1) / 4;
                    b += px(2 * x + dx, 2 * row + dy, 0) / 4;
                }
            }
            ASSERT_NEAR(u[row * width / 2 + x], cbOf(r, g, b), 2.0) << "Cb at " << x << "," << row;
            ASSERT_NEAR(v[row * width / 2 + x], crOf(r, g, b), 2.0) << "Cr at " << x << "," << row;
        }
    }
}

TEST(BgraToI420Test, PureColoursLandOnTheirLimitedRangeValues) {
    // White, black, red, blue over sixteen columns each, two rows.
    constexpr int width = 64;
    std::vector<std::uint8_t> bgra(width * 2 * 4);
    const std::uint8_t colours[4][3] = {{255, 255, 255}, {0, 0, 0}, {0, 0, 255}, {255, 0, 0}};
    for (int row = 0; row < 2; ++row) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                bgra[(row * width + x) * 4 + c] = colours[x / 16][c];
            }
        }
    }
    std::vector<std::uint8_t> y(width * 2), u(width / 2), v(width / 2);
    platform::convertBgraToI420(bgra.data(), width * 4, width, 2, y.data(), width, u.data(),
                                width / 2, v.data(), width / 2);
    EXPECT_NEAR(y[0], 235, 1);
    EXPECT_NEAR(u[0], 128, 1);
    EXPECT_NEAR(y[16], 16, 1);
    EXPECT_NEAR(y[32], 63, 1);
    EXPECT_NEAR(v[16], 240, 1);
    EXPECT_NEAR(u[24], 240, 1);
}

// The encoder input converts only what changed, in pieces that start and end anywhere: a piece
// converted alone must give the bytes the whole frame's conversion gives there, whichever
// vector width each of them took.
TEST(BgraToI420Test, APieceConvertedAloneGivesTheBytesOfTheWhole) {
    constexpr int width = 128;
    constexpr int height = 4;
    std::vector<std::uint8_t> bgra(width * height * 4);
    std::srand(11);
    for (auto& byte : bgra) {
        byte = static_cast<std::uint8_t>(std::rand() % 256);
    }
    struct Planes {
        std::vector<std::uint8_t> y = std::vector<std::uint8_t>(width * height);
        std::vector<std::uint8_t> u = std::vector<std::uint8_t>(width / 2 * height / 2);
        std::vector<std::uint8_t> v = std::vector<std::uint8_t>(width / 2 * height / 2);
    };
    Planes whole;
    platform::convertBgraToI420(bgra.data(), width * 4, width, height, whole.y.data(), width,
                                whole.u.data(), width / 2, whole.v.data(), width / 2);
    for (const int left : {16, 32, 48, 96}) {
        Planes piece = whole;
        std::fill(piece.y.begin(), piece.y.end(), 0);
        std::fill(piece.u.begin(), piece.u.end(), 0);
        std::fill(piece.v.begin(), piece.v.end(), 0);
        platform::convertBgraToI420(bgra.data() + 4 * left, width * 4, width - left, height,
                                    piece.y.data() + left, width, piece.u.data() + left / 2,
                                    width / 2, piece.v.data() + left / 2, width / 2);
        for (int row = 0; row < height; ++row) {
            for (int x = left; x < width; ++x) {
                ASSERT_EQ(piece.y[row * width + x], whole.y[row * width + x])
                    << "luma at " << x << "," << row << " of the piece from " << left;
            }
        }
        for (int row = 0; row < height / 2; ++row) {
            for (int x = left / 2; x < width / 2; ++x) {
                ASSERT_EQ(piece.u[row * width / 2 + x], whole.u[row * width / 2 + x])
                    << "Cb at " << x << "," << row << " of the piece from " << left;
                ASSERT_EQ(piece.v[row * width / 2 + x], whole.v[row * width / 2 + x])
                    << "Cr at " << x << "," << row << " of the piece from " << left;
            }
        }
    }
}
