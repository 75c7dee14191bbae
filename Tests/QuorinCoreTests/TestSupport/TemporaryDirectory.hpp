#pragma once

// A fresh directory for one test, removed with everything in it when the test ends.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace quorin::testing {

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorin-test-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// The path of `name` inside the directory; nothing is created.
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    /// Writes `contents` byte for byte to the file `name` and returns its path.
    std::filesystem::path write(std::string_view name, std::string_view contents) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
        return file;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace quorin::testing
