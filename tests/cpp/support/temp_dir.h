// A fresh directory under /tmp for one test, removed with everything in it
// when the test ends.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace qorva::testing_support {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/qorva-test-XXXXXX";
    const char* made = ::mkdtemp(name);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory.
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  std::string operator/(std::string_view name) const { return file(name); }

 private:
  std::string path_;
};

}  // namespace qorva::testing_support
