// Damaged copies of test media: garbage written over a stretch in the middle
// of a file, or the file cut short, as a failing disk or download leaves it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

namespace sonorix::test {

// Overwrites `count` bytes starting at `at_fraction` of the file's size with
// pseudo-random bytes (the same ones for the same seed). Returns the offset.
inline uintmax_t overwrite_with_garbage(const std::filesystem::path& path, double at_fraction, uintmax_t count,
                                        unsigned seed = 1) {
    const uintmax_t size = std::filesystem::file_size(path);
    const auto at = static_cast<uintmax_t>(static_cast<double>(size) * at_fraction);
    if (at + count > size) throw std::runtime_error("garbage would run past the end of " + path.string());
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!f) throw std::runtime_error("cannot open " + path.string());
    f.seekp(static_cast<std::streamoff>(at));
    std::mt19937 gen(seed);
    for (uintmax_t i = 0; i < count; ++i) f.put(static_cast<char>(gen() & 0xff));
    if (!f) throw std::runtime_error("cannot write " + path.string());
    return at;
}

// Cuts the file to `fraction` of its size. Returns the new size.
inline uintmax_t truncate_to(const std::filesystem::path& path, double fraction) {
    const auto size = static_cast<uintmax_t>(static_cast<double>(std::filesystem::file_size(path)) * fraction);
    std::filesystem::resize_file(path, size);
    return size;
}

}  // namespace sonorix::test
