// Names that keep concurrently running tests (ctest -j) apart on the wire.
#pragma once

#include <atomic>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lumo::test {

// A topic name no other test process uses.
inline std::string UniqueTopic(const std::string& base)
{
    static std::atomic<int> counter{0};
    return base + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

// A domain per test process, so that discovery of parallel tests stays apart.
// The process id picks where to start; a lock file held until the process
// ends makes the claim, as two ids can fall on the same domain.
inline uint32_t TestDomain()
{
    static const uint32_t domain = [] {
        constexpr uint32_t FIRST = 20;
        constexpr uint32_t COUNT = 200;
        const uint32_t start = static_cast<uint32_t>(getpid()) % COUNT;
        for (uint32_t i = 0; i < COUNT; ++i) {
            const uint32_t candidate = FIRST + (start + i) % COUNT;
            const std::string lock = "/tmp/lumo-test-domain-" + std::to_string(candidate) + ".lock";
            const int fd = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
                return candidate; // the descriptor stays open: the claim lasts as long as the process
            }
            if (fd >= 0) {
                close(fd);
            }
        }
        return FIRST + start;
    }();
    return domain;
}

// Keeps every participant of the tests on this host.
inline constexpr const char* LOOPBACK = "127.0.0.1";

} // namespace lumo::test
