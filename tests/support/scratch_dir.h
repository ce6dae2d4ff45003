// A private directory for one test, removed with everything in it afterwards. Kept short under /tmp
// because Unix socket paths inside it must fit in sun_path.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace recursor::test {

class ScratchDir {
public:
    explicit ScratchDir(std::string_view prefix = "rcs")
    {
        std::string pattern = "/tmp/" + std::string(prefix) + "XXXXXX";
        path_ = ::mkdtemp(pattern.data()) ? pattern : "";
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    // Writes `text` to `name` inside the directory and returns the file's path.
    std::string write(const std::string& name, const std::string& text) const
    {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace recursor::test
