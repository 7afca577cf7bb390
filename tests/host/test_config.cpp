// The settings every curve index relies on must agree with each other.
#include <tellurix/lumenfold/config.h>

#include <gtest/gtest.h>

#include <set>

namespace config = tellurix::lumenfold::config;
namespace qt_compat = tellurix::lumenfold::qt_compat;

namespace {

TEST(Settings, EveryCurveKeyIsDistinctAndIndexesEveryTable) {
    ASSERT_FALSE(config::ridx.empty());
    ASSERT_NE(config::defualt_colors, nullptr);
    const std::set<int> distinct(config::ridx.begin(), config::ridx.end());
    EXPECT_EQ(distinct.size(), config::ridx.size());
    for (int key : config::ridx) {
        SCOPED_TRACE(key);
        ASSERT_GE(key, 0);
        const auto k = static_cast<std::size_t>(key);
        EXPECT_LT(k, config::defualt_colors->size());
        ASSERT_LT(k, config::widths.size());
        ASSERT_LT(k, config::SymSize.size());
        EXPECT_GT(config::widths[k], 0);
        EXPECT_GE(config::SymSize[k], 3);
        EXPECT_TRUE(config::defualt_colors->at(k).isValid());
    }
}

TEST(Settings, ColoursAndStyleAreUsable) {
    EXPECT_TRUE(config::COL_UNSEL.isValid());
    EXPECT_TRUE(config::COL_SEL.isValid());
    EXPECT_NE(config::COL_SEL, config::COL_UNSEL);
    EXPECT_FALSE(config::style.trimmed().isEmpty());
}

TEST(Settings, QtShimAlignsRight) {
    EXPECT_EQ(qt_compat::AlignRight, Qt::AlignRight);
    static_assert(qt_compat::AlignRight == Qt::AlignRight);
}

} // namespace
