// Names that keep concurrently running tests (ctest -j) apart on the wire.
#pragma once

#include <atomic>
#include <string>

#include <unistd.h>

namespace lumo::test {

// A topic name no other test process uses.
inline std::string UniqueTopic(const std::string& base)
{
    static std::atomic<int> counter{0};
    return base + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

// A domain per test process, so that discovery of parallel tests stays apart.
inline uint32_t TestDomain()
{
    return 20 + static_cast<uint32_t>(getpid()) % 200;
}

// Keeps every participant of the tests on this host.
inline constexpr const char* LOOPBACK = "127.0.0.1";

} // namespace lumo::test
