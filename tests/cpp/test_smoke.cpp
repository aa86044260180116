#include <gtest/gtest.h>

#include "helpers.h"
#include "module/driver.h"

TEST(Driver, ThreePointsOnALine) {
    std::vector<point> pts = MakePoints({{0.0}, {1.0}, {3.0}});
    pair_list r = run_quorl(3, 1, 1.0, pts);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].first, std::vector<int32_t>({1}));
    EXPECT_EQ(r[1].first, std::vector<int32_t>({1, 0}));
    EXPECT_EQ(r[1].second, std::vector<int32_t>({2}));
}
