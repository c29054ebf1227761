// Arithmetic the window tests do not reach on their own.
#include <gtest/gtest.h>
#include "ui/ToolkitMath.h"

using namespace toolkit;

TEST(ToolkitMath, RowVisibilityInsideTheParent) {
    EXPECT_TRUE(RowVisibleInParent(0, 24, 100));
    EXPECT_TRUE(RowVisibleInParent(100, 24, 100)) << "a row starting at the bottom edge still counts";
    EXPECT_FALSE(RowVisibleInParent(101, 24, 100));
    EXPECT_FALSE(RowVisibleInParent(-24, 24, 100)) << "ends exactly at the top";
    EXPECT_FALSE(RowVisibleInParent(-10, 24, 100)) << "starts above the top";
}

TEST(ToolkitMath, ClickTimingAcrossTheTickCounterWrap) {
    EXPECT_TRUE(IsDoubleClick(true, 1500, 1000));
    EXPECT_FALSE(IsDoubleClick(true, 1501, 1000));
    EXPECT_TRUE(IsDoubleClick(true, 100, 0xFFFFFF00u));
}

TEST(ToolkitMath, RowItemsWiderThanTheRowStayInside) {
    const RECT row = {0, 48, 96, 72};
    RECT r = RowItemRect({0, 0, 200, 10}, 10, row, true);
    EXPECT_EQ(0, r.left) << "a right-anchored item never starts left of the row";
    EXPECT_EQ(86, r.right);
    r = RowItemRect({50, 0, 150, 40}, -1, row, true);
    EXPECT_EQ(96, r.right);
    EXPECT_EQ(72, r.bottom);
    r = RowItemRect({50, 0, 150, 40}, -1, row, false);
    EXPECT_EQ(88, r.bottom) << "hit testing is not clipped";
}
