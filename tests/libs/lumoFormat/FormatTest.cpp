// lumo::format prints floating-point values as std::format does under "{}":
// the shortest text that reads back to the same value, in fixed or
// scientific notation, whichever is shorter. Expected texts are literal.
#include <iterator>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "lumo/Format.h"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr float INF_F = std::numeric_limits<float>::infinity();

TEST(Format, ScientificWhereItIsShorter)
{
    EXPECT_EQ(lumo::format("{}", 0.0005), "5e-04");
    EXPECT_EQ(lumo::format("{}", 0.0005f), "5e-04");
    EXPECT_EQ(lumo::format("{}", 0.0001), "1e-04");
    EXPECT_EQ(lumo::format("{}", 0.0001f), "1e-04");
    EXPECT_EQ(lumo::format("{}", 100000.0), "1e+05");
    EXPECT_EQ(lumo::format("{}", 100000.0f), "1e+05");
    EXPECT_EQ(lumo::format("{}", 1e15), "1e+15");
    EXPECT_EQ(lumo::format("{}", 1e15f), "1e+15");

    EXPECT_EQ(lumo::format("{}", -0.0005), "-5e-04");
    EXPECT_EQ(lumo::format("{}", -0.0001f), "-1e-04");
    EXPECT_EQ(lumo::format("{}", -100000.0), "-1e+05");
    EXPECT_EQ(lumo::format("{}", -1e15f), "-1e+15");
}

TEST(Format, FixedWhereItIsShorterAndSpecialValues)
{
    EXPECT_EQ(lumo::format("{}", 0.5), "0.5");
    EXPECT_EQ(lumo::format("{}", 1000.001), "1000.001");
    EXPECT_EQ(lumo::format("{}", 123456.0), "123456");
    EXPECT_EQ(lumo::format("{}", 0.0011f), "0.0011");
    EXPECT_EQ(lumo::format("{}", 2.3437499976353138e-05), "2.3437499976353138e-05");
    // A single-precision value prints as itself, not as its widening.
    EXPECT_EQ(lumo::format("{}", 0.001f), "0.001");
    EXPECT_EQ(lumo::format("{}", static_cast<double>(0.001f)), "0.0010000000474974513");

    EXPECT_EQ(lumo::format("{}", -0.0), "-0");
    EXPECT_EQ(lumo::format("{}", -0.0f), "-0");
    EXPECT_EQ(lumo::format("{}", 0.0), "0");
    EXPECT_EQ(lumo::format("{}", INF), "inf");
    EXPECT_EQ(lumo::format("{}", -INF_F), "-inf");
}

TEST(Format, AmongOtherArgumentsAndThroughFormatTo)
{
    const float element = 0.0001f;
    const double& average = 100000.0;
    EXPECT_EQ(lumo::format("[{}][{}] {} {} {}", "pos", 2u, element, average, true), "[pos][2] 1e-04 1e+05 true");

    std::string out = "x=";
    lumo::format_to(std::back_inserter(out), "{} {}", 5e-4, 42);
    EXPECT_EQ(out, "x=5e-04 42");
}

TEST(Format, AFieldWithAFormatOfItsOwnKeepsIt)
{
    EXPECT_EQ(lumo::format("{:.3f}", 12.34567), "12.346");
    EXPECT_EQ(lumo::format("{:.3f} s", 0.0005f), "0.001 s");
    EXPECT_EQ(lumo::format("{:e}", 100000.0), "1.000000e+05");
    EXPECT_EQ(lumo::format("{:.2e}", 0.0005), "5.00e-04");
}

} // namespace
