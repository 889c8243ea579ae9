#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zvui::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zvui-core-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // Writes `contents` to `relative`, creating the directories on the way.
  std::filesystem::path write(const std::filesystem::path& relative,
                              std::string_view contents) const {
    std::filesystem::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << contents;
    return path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

// Sets one environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value, 1);
  }
  ~ScopedEnvironment() {
    old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Names a table row after its `name` member, so a failing row reads as what it checks.
inline constexpr auto RowName = [](const auto& row) { return std::string(row.param.name); };

}  // namespace zvui::test
