#include "normalizer/wav_level.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <ostream>
#include <stdexcept>

namespace sonorix::normalizer {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlockBytes = 1 << 16;
constexpr double kDefaultTargetDb = -16.0;
constexpr double kNoAdjustDb = 0.1;  // smaller changes are not worth a rewrite

uint32_t le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

double sample_at(const unsigned char* p, SampleKind kind) {
    switch (kind) {
    case SampleKind::Int16: return static_cast<int16_t>(le16(p)) / 32768.0;
    case SampleKind::Int24: {
        int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        if (v & 0x800000) v -= 0x1000000;
        return v / 8388608.0;
    }
    case SampleKind::Int32: return static_cast<int32_t>(le32(p)) / 2147483648.0;
    case SampleKind::Float32: {
        const uint32_t bits = le32(p);
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    }
    return 0;
}

// Writes v back in the file's format; returns true when it had to be clipped.
bool store(unsigned char* p, SampleKind kind, double v) {
    auto put = [&](double scale, double lo, double hi, int bytes) {
        const double s = std::nearbyint(v * scale);
        const bool clipped = s < lo || s > hi;
        const int64_t i = static_cast<int64_t>(std::clamp(s, lo, hi));
        for (int b = 0; b < bytes; ++b) p[b] = static_cast<unsigned char>((i >> (8 * b)) & 0xff);
        return clipped;
    };
    switch (kind) {
    case SampleKind::Int16: return put(32768.0, -32768, 32767, 2);
    case SampleKind::Int24: return put(8388608.0, -8388608, 8388607, 3);
    case SampleKind::Int32: return put(2147483648.0, -2147483648.0, 2147483647.0, 4);
    case SampleKind::Float32: {
        const float f = static_cast<float>(v);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        for (int b = 0; b < 4; ++b) p[b] = static_cast<unsigned char>((bits >> (8 * b)) & 0xff);
        return false;  // float keeps levels above full scale
    }
    }
    return false;
}

std::runtime_error write_error() {
    return std::runtime_error(std::string("cannot write the adjusted file: ") + std::strerror(errno));
}

// All of data, or an exception with the system's reason.
void write_all(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            throw write_error();
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

std::ifstream open_in(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error(std::strerror(errno));
    return in;
}

}  // namespace

WavLayout read_layout(const fs::path& file) {
    std::ifstream in = open_in(file);
    unsigned char riff[12];
    if (!in.read(reinterpret_cast<char*>(riff), 12) || std::memcmp(riff, "RIFF", 4) || std::memcmp(riff + 8, "WAVE", 4)) {
        throw std::runtime_error("not a WAV file");
    }
    const auto file_size = static_cast<int64_t>(fs::file_size(file));
    WavLayout layout;
    bool have_fmt = false;
    int64_t pos = 12;
    while (pos + 8 <= file_size) {
        unsigned char head[8];
        in.seekg(pos);
        if (!in.read(reinterpret_cast<char*>(head), 8)) break;
        const int64_t size = le32(head + 4);
        if (!std::memcmp(head, "fmt ", 4)) {
            unsigned char fmt[40] = {};
            in.read(reinterpret_cast<char*>(fmt), std::min<int64_t>(size, 40));
            if (size < 16) throw std::runtime_error("broken format chunk");
            uint16_t tag = le16(fmt);
            layout.channels = le16(fmt + 2);
            layout.sample_rate = static_cast<int>(le32(fmt + 4));
            const int bits = le16(fmt + 14);
            if (tag == 0xFFFE && size >= 26) tag = le16(fmt + 24);  // extensible: the sub-format's tag
            if (tag == 1 && bits == 16) layout.kind = SampleKind::Int16;
            else if (tag == 1 && bits == 24) layout.kind = SampleKind::Int24;
            else if (tag == 1 && bits == 32) layout.kind = SampleKind::Int32;
            else if (tag == 3 && bits == 32) layout.kind = SampleKind::Float32;
            else throw std::runtime_error("unsupported sample format (tag " + std::to_string(tag) + ", " +
                                          std::to_string(bits) + " bits)");
            layout.bytes_per_sample = bits / 8;
            if (layout.channels < 1) throw std::runtime_error("no channels");
            have_fmt = true;
        } else if (!std::memcmp(head, "data", 4)) {
            if (!have_fmt) throw std::runtime_error("data before format chunk");
            layout.data_offset = pos + 8;
            // A size left open by a writer that stopped early: take what is there.
            const int64_t available = file_size - layout.data_offset;
            const int64_t bytes = (size == 0 || size == 0xFFFFFFFF || size > available) ? available : size;
            const int64_t frame = static_cast<int64_t>(layout.bytes_per_sample) * layout.channels;
            layout.data_bytes = bytes / frame * frame;
            return layout;
        }
        pos += 8 + size + (size & 1);
    }
    throw std::runtime_error("no audio data");
}

double average_level_db(const fs::path& file, const WavLayout& layout) {
    std::ifstream in = open_in(file);
    in.seekg(layout.data_offset);
    std::vector<unsigned char> block(kBlockBytes - kBlockBytes % (layout.bytes_per_sample * layout.channels));
    long double power = 0;
    int64_t count = 0;
    for (int64_t left = layout.data_bytes; left > 0;) {
        const auto want = static_cast<std::streamsize>(std::min<int64_t>(left, static_cast<int64_t>(block.size())));
        if (!in.read(reinterpret_cast<char*>(block.data()), want)) throw std::runtime_error("read error");
        for (std::streamsize i = 0; i < want; i += layout.bytes_per_sample) {
            const double s = sample_at(block.data() + i, layout.kind);
            power += s * s;
        }
        count += want / layout.bytes_per_sample;
        left -= want;
    }
    if (count == 0 || power == 0) return -std::numeric_limits<double>::infinity();
    return 10 * std::log10(static_cast<double>(power / count));
}

int64_t apply_gain(const fs::path& file, const WavLayout& layout, double gain_db) {
    const double gain = std::pow(10.0, gain_db / 20);
    const fs::path temp = file.parent_path() / ("." + file.filename().string() + ".normalizing");
    std::ifstream in = open_in(file);
    struct stat original {};
    if (::stat(file.c_str(), &original) != 0) throw std::runtime_error(std::strerror(errno));
    // Created exclusively: a file in the way is never taken over, and only
    // a file of ours is removed on failure. The rewrite keeps the original's
    // permissions.
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, original.st_mode & 07777);
    if (fd < 0) {
        throw std::runtime_error(errno == EEXIST ? "cannot write beside it: " + temp.string() + " is in the way"
                                                 : std::string("cannot write beside it: ") + std::strerror(errno));
    }
    int64_t clipped = 0;
    try {
        std::vector<unsigned char> block(kBlockBytes - kBlockBytes % (layout.bytes_per_sample * layout.channels));
        auto read_block = [&](int64_t n) {
            if (!in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(n))) {
                throw std::runtime_error("read error");
            }
        };
        // Header as it is.
        for (int64_t left = layout.data_offset; left > 0;) {
            const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(block.size()));
            read_block(n);
            write_all(fd, block.data(), static_cast<size_t>(n));
            left -= n;
        }
        for (int64_t left = layout.data_bytes; left > 0;) {
            const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(block.size()));
            read_block(n);
            for (int64_t i = 0; i < n; i += layout.bytes_per_sample) {
                unsigned char* p = block.data() + i;
                clipped += store(p, layout.kind, sample_at(p, layout.kind) * gain);
            }
            write_all(fd, block.data(), static_cast<size_t>(n));
            left -= n;
        }
        // Whatever follows the samples (other chunks) as it is.
        while (in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size())) ||
               in.gcount() > 0) {
            write_all(fd, block.data(), static_cast<size_t>(in.gcount()));
        }
        if (in.bad()) throw std::runtime_error("read error");
        // Every byte on the disk before the original goes: a failed sync or
        // close (a full disk, a network file system) keeps the original.
        if (::fsync(fd) != 0) throw write_error();
        const int closed = ::close(fd);
        fd = -1;  // closed even when close reports an error
        if (closed != 0) throw write_error();
        fs::rename(temp, file);
    } catch (...) {
        if (fd >= 0) ::close(fd);
        std::error_code ec;
        fs::remove(temp, ec);
        throw;
    }
    return clipped;
}

std::vector<fs::path> expand_arguments(const std::vector<std::string>& args) {
    std::vector<fs::path> files;
    for (const std::string& arg : args) {
        if (arg.find_first_of("*?[") == std::string::npos) {
            files.emplace_back(arg);
            continue;
        }
        glob_t matches{};
        if (::glob(arg.c_str(), 0, nullptr, &matches) == 0) {
            for (size_t i = 0; i < matches.gl_pathc; ++i) files.emplace_back(matches.gl_pathv[i]);
        }
        globfree(&matches);
    }
    return files;
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool mix = false;
    double target_db = kDefaultTargetDb;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-m") {
            mix = true;
        } else if (args[i] == "-a" && i + 1 < args.size()) {
            target_db = std::strtod(args[++i].c_str(), nullptr);
        } else if (args[i] == "-h" || args[i] == "--help") {
            out << "Usage: sonorix-normalize [-m] [-a LEVEL_DB] FILE.wav...\n"
                   "  -m  bring every file to the average level of all files (mix mode)\n"
                   "  -a  the level to bring each file to without -m (default -16 dBFS)\n"
                   "Patterns with * and ? are expanded. Files are rewritten in place.\n";
            return 0;
        } else {
            names.push_back(args[i]);
        }
    }
    struct Item {
        fs::path file;
        WavLayout layout;
        double level = 0;
    };
    std::vector<Item> items;
    int status = 0;
    for (const fs::path& file : expand_arguments(names)) {
        try {
            Item item{file, read_layout(file)};
            item.level = average_level_db(file, item.layout);
            items.push_back(item);
        } catch (const std::exception& e) {
            err << file.string() << ": " << e.what() << ", not adjusting..." << std::endl;
            status = 1;
        }
    }
    if (mix) {
        double sum = 0;
        int counted = 0;
        for (const Item& item : items) {
            if (std::isfinite(item.level)) {
                sum += item.level;
                ++counted;
            }
        }
        target_db = counted ? sum / counted : target_db;
        out << "Average level: " << target_db << " dBFS" << std::endl;
    }
    for (const Item& item : items) {
        const double gain = target_db - item.level;
        if (!std::isfinite(item.level) || std::fabs(gain) < kNoAdjustDb) {
            out << item.file.string() << " already normalized, not adjusting..." << std::endl;
            continue;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%+.2f dB", gain);
        out << "Applying adjustment of " << line << " to " << item.file.string() << "..." << std::endl;
        try {
            const int64_t clipped = apply_gain(item.file, item.layout, gain);
            if (clipped) out << item.file.string() << ": " << clipped << " samples clipped" << std::endl;
        } catch (const std::exception& e) {
            err << item.file.string() << ": " << e.what() << std::endl;
            status = 1;
        }
    }
    return status;
}

}  // namespace sonorix::normalizer
