#pragma once

// Temporary spectrum and pulse-shape files for the tests.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velmora::testing {

// A file in a per-process temporary directory, removed with the object.
class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        static std::atomic<int> counter{0};
        const auto dir = std::filesystem::temp_directory_path() / ("velmora_tests_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        path_ = dir / ("file" + std::to_string(counter++) + ".txt");
        std::ofstream(path_) << content;
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::string points_text(const std::vector<std::pair<double, double>>& points) {
    std::string text;
    char line[64];
    for (const auto& [x, y] : points) {
        std::snprintf(line, sizeof line, "%.17g %.17g\n", x, y);
        text += line;
    }
    return text;
}

} // namespace velmora::testing
