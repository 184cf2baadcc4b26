// The latency buckets and their quantiles. Expected values are literal.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include "model/latencyHistogram.h"

using namespace quillModel;

TEST(LatencyHistogram, BucketsCoverEveryValueWithinOneSixteenthAndQuantilesStayInRange)
{
    for (const uint64_t value : {0ull, 31ull, 32ull, 33ull, 1000ull, 123456789ull, ~0ull}) {
        const size_t index = latencyBuckets::IndexOf(value);
        ASSERT_LT(index, latencyBuckets::COUNT);
        EXPECT_LE(latencyBuckets::LowerBound(index), value);
        EXPECT_GE(latencyBuckets::UpperBound(index), value);
        EXPECT_LE(latencyBuckets::UpperBound(index) - latencyBuckets::LowerBound(index), value / 16);
    }
    EXPECT_EQ(latencyBuckets::IndexOf(31), 31u);
    EXPECT_EQ(latencyBuckets::LowerBound(latencyBuckets::IndexOf(1000)), 992u);
    EXPECT_EQ(latencyBuckets::UpperBound(latencyBuckets::IndexOf(1000)), 1023u);

    LatencyHistogram histogram;
    for (int i = 0; i < 98; ++i) {
        histogram.Record(1000);
    }
    histogram.Record(50000);
    histogram.Record(70000);
    const auto counts = histogram.Counts();
    EXPECT_EQ(Quantile(counts, 0.5, 1000, 70000), 1023u);
    EXPECT_EQ(Quantile(counts, 0.99, 1000, 70000), 51199u);
    EXPECT_EQ(Quantile(counts, 1.0, 1000, 70000), 70000u); // the bucket's bound, cut to the maximum
    EXPECT_EQ(Quantile(std::vector<uint64_t>(latencyBuckets::COUNT, 0), 0.5, 0, 0), 0u);
}
