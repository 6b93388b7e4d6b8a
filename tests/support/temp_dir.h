// A fresh folder under the temporary directory, removed with its contents.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sonorix::test {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "sonorix");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes text (or bytes) to a file, replacing it.
void write_file(const std::filesystem::path& path, const std::string& bytes);
// A file's bytes; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);
// The names of the entries of folder, sorted.
std::vector<std::string> names_in(const std::filesystem::path& folder);

}  // namespace sonorix::test
