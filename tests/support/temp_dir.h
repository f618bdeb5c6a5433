// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

#include "tests/support/test_util.h"

namespace varnel::testing {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-test-XXXXXX");
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // The names in the directory.
    std::set<std::string> Names() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.insert(e.path().filename().string());
        return out;
    }

    void Write(const std::string& name, const std::string& text, bool executable = false) const {
        WriteText(path_ / name, text);
        if (executable) {
            std::filesystem::permissions(path_ / name, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add);
        }
    }
    std::string Read(const std::string& name) const { return ReadText(path_ / name); }

  private:
    std::filesystem::path path_;
};

}  // namespace varnel::testing
