// A scratch directory removed with everything in it when the object dies.
#pragma once

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace orvane::testing {

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        _path = std::filesystem::temp_directory_path() /
                ("orvane_test_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return _path; }
    std::string File(const std::string& name) const { return (_path / name).string(); }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> List() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(_path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::filesystem::path _path;
};

}  // namespace orvane::testing
