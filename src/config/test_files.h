// A private temporary directory for the configuration tests, removed with everything in it.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace hv::test {

class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = std::filesystem::temp_directory_path() /
               ("hv-config-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The path of `name` inside the directory, as the readers take it.
    std::string path(const std::string& name = "config.txt") const {
        return (dir_ / name).string();
    }

    /// Writes `bytes` exactly as given (no line-end translation).
    std::string write(const std::string& bytes, const std::string& name = "config.txt") const {
        std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
        out << bytes;
        return path(name);
    }

    std::string read(const std::string& name = "config.txt") const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    /// Names of the files in the directory.
    int file_count() const {
        int n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_))
            ++n;
        return n;
    }

    const std::filesystem::path& dir() const { return dir_; }

  private:
    std::filesystem::path dir_;
};

}  // namespace hv::test
