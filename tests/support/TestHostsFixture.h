// A GoogleTest fixture for tests on test hosts (network namespaces): skipped
// where namespaces cannot be created (not root), and failed when a namespace
// outlives the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NetworkNamespaces.h"

namespace lumo::test {

class TestHostsFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const auto reason = NetworkNamespaces::Unavailable(); !reason.empty()) {
            GTEST_SKIP() << "tests on test hosts need network namespaces (root): " << reason;
        }
        net_ = std::make_unique<NetworkNamespaces>();
    }

    void TearDown() override
    {
        if (!net_) {
            return;
        }
        const auto names = net_->Created();
        net_.reset();
        const auto left = RunIp({"netns", "list"});
        for (const auto& name : names) {
            EXPECT_THAT(left, ::testing::Not(::testing::HasSubstr(name))) << "namespace left behind";
        }
    }

    // A switch and these hosts on it, 10.77.0.<n>/24 in order, multicast
    // routed onto the switch; with `dropMulticast` every host drops it.
    void Lan(const std::vector<std::string>& hosts, bool dropMulticast = false)
    {
        net_->AddSwitch("sw");
        int n = 1;
        for (const auto& host : hosts) {
            net_->AddHost(host);
            net_->Attach(host, "eth0", "10.77.0." + std::to_string(n++) + "/24", "sw");
            net_->RouteMulticast(host, "eth0");
            if (dropMulticast) {
                net_->DropMulticast(host);
            }
        }
    }

    std::unique_ptr<NetworkNamespaces> net_;
};

} // namespace lumo::test
