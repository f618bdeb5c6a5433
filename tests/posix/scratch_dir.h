// A temporary directory that is removed with everything in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace varnel::testing {

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnel-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    void Write(const std::string& name, const std::string& text, bool executable = false) const {
        const std::string p = *this / name;
        {
            std::ofstream out(p, std::ios::binary);
            out << text;
        }
        if (executable) {
            std::filesystem::permissions(p, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add);
        }
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(*this / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::string path_;
};

}  // namespace varnel::testing
