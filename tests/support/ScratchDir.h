// A directory of one test's own files (reports, pages, configurations),
// removed with everything in it at the end of its scope.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace lumo::test {

class ScratchDir
{
public:
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumo-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
        EXPECT_FALSE(path_.empty());
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace lumo::test
