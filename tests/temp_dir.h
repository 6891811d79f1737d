// A folder of a test's own under /tmp, removed with all it holds when the
// test ends.
#ifndef KADENZO_TESTS_TEMP_DIR_H
#define KADENZO_TESTS_TEMP_DIR_H

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

class TempDir {
  public:
    // The folder is /tmp/kadenzo-PREFIX-XXXXXX.
    explicit TempDir(const std::string& prefix = "test") {
        std::string pattern = "/tmp/kadenzo-" + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    // Every name in the folder, hidden ones included, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::string path_;
};

#endif
