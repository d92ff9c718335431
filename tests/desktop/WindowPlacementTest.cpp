#include "desktop/SceneGraphBackend.h"
#include "desktop/WindowPlacement.h"

#include <gtest/gtest.h>

using platform::Rect;

TEST(WindowPlacementTest, TheLaunchWindowIsAtLeast405By350AndCentred) {
    // A visible frame below a 25-point top bar on a 1920 x 1080 screen.
    const Rect visible{0, 25, 1920, 1055};
    EXPECT_EQ(desktop::centeredLaunchFrame(visible, 300, 500), (Rect{757.5, 302.5, 405, 500}))
        << "a 300 x 500 content gives 405 x 500";
    EXPECT_EQ(desktop::centeredLaunchFrame(visible, 0, 0), (Rect{757.5, 377.5, 405, 350}));
    // A second screen to the left of the first.
    EXPECT_EQ(desktop::centeredLaunchFrame({-1280, 0, 1280, 1024}, 405, 350),
              (Rect{-842.5, 337, 405, 350}));
}

TEST(WindowPlacementTest, BottomRightWithTenPointMarginsWhereTheLeftAndTopMarginsWin) {
    const Rect visible{0, 25, 1920, 1055};
    EXPECT_EQ(desktop::bottomRightFrame(visible, 300, 120), (Rect{1610, 950, 300, 120}));
    EXPECT_EQ(desktop::bottomRightFrame({1920, 0, 1280, 1024}, 200, 100),
              (Rect{2990, 914, 200, 100}));
    // The start card (234 x 77) on a visible frame narrower than 254: 10 in from the left edge.
    EXPECT_EQ(desktop::bottomRightFrame({100, 0, 240, 800}, 234, 77).x, 110);
    // The preparation page (405 x 390) on a frame narrower than 425 and lower than 410: the left
    // and top margins win over the right and bottom ones.
    EXPECT_EQ(desktop::bottomRightFrame({0, 30, 420, 400}, 405, 390), (Rect{10, 40, 405, 390}));
}

TEST(WindowPlacementTest, ASlideInStartsWhollyBelowTheVisibleFrame) {
    const Rect visible{0, 25, 1920, 1055};
    const Rect target = desktop::bottomRightFrame(visible, 405, 390);
    EXPECT_EQ(desktop::slideInStartFrame(visible, target), (Rect{1505, 1100, 405, 390}))
        << "the same x and size, the top edge 20 below the frame's bottom";
}

TEST(SceneGraphBackendTest, OnlyRasterisersThatRunOnTheCpuCountAsSoftware) {
    EXPECT_TRUE(desktop::isSoftwareRenderer(QStringLiteral("llvmpipe (LLVM 15.0.6, 256 bits)")));
    EXPECT_TRUE(desktop::isSoftwareRenderer(QStringLiteral("Software Rasterizer")));
    EXPECT_FALSE(
        desktop::isSoftwareRenderer(QStringLiteral("Mesa Intel(R) UHD Graphics 620 (KBL GT2)")));
    EXPECT_FALSE(desktop::isSoftwareRenderer(QStringLiteral("NVIDIA GeForce RTX 3060/PCIe/SSE2")));
}
