#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace skald::test {

/// A fresh directory removed with everything in it at the end of the test.
class TempDirectory {
  public:
    TempDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "skald-envelope-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string target = file(name);
        std::ofstream(target, std::ios::binary) << bytes;
        return target;
    }

    static std::string read(const std::string& path) {
        std::ifstream input(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(input), {});
    }

  private:
    std::string path_;
};

}  // namespace skald::test
