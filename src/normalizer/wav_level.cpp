#include "normalizer/wav_level.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "dsp/loudness_meter.h"
#include "dsp/planes.h"
#include "normalizer/sound_file.h"

namespace sonorix::normalizer {

namespace fs = std::filesystem;

namespace {

constexpr double kDefaultTargetDb = -16.0;
constexpr double kNoAdjustDb = 0.05;  // smaller changes are not worth a rewrite
// Head room left below full scale by a gain that the peak limits. The
// rewritten samples are rounded to the nearest step, which can add half a
// step: at 8 bits that is 0.034 dB next to full scale, at 16 bits 0.00013 dB.
constexpr double kPeakMarginDb = 0.05;

// Each channel's weight in the loudness, by libebur128's default order, by
// which the normalizer has always weighed: L R C LFE Ls Rs; four channels
// L R Ls Rs, five L R C Ls Rs; what lies past the sixth does not count; one
// channel plays on both speakers.
std::vector<double> channel_weights(int channels) {
    const double s = LoudnessMeter::kSurround;
    if (channels == 1) return {2.0};
    if (channels == 4) return {1, 1, s, s};
    if (channels == 5) return {1, 1, 1, s, s};
    const double order[] = {1, 1, 1, 0, s, s};
    std::vector<double> weights(static_cast<size_t>(channels), 0.0);
    for (size_t c = 0; c < weights.size() && c < std::size(order); ++c) weights[c] = order[c];
    return weights;
}

// Interleaved frames of a block into the meter, through float planes (which
// hold 16-bit samples exactly).
template <typename T>
void add_to(LoudnessMeter& meter, const T* samples, size_t frames, size_t channels, std::vector<float>& plane_samples,
            std::vector<float*>& planes) {
    interleaved_to_planes(samples, channels, frames, plane_samples, planes);
    meter.add_planes(planes.data(), frames);
}

std::string db_text(double db, const char* unit = "dB") {
    char text[48];
    std::snprintf(text, sizeof text, "%+.2f%s", db, unit);
    return text;
}

// Runs work(i) for every i below count on up to per_core threads per core;
// work must not throw (each item keeps its own result).
void for_each_parallel(size_t count, unsigned per_core, const std::function<void(size_t)>& work) {
    if (count == 0) return;
    const size_t threads = std::clamp<size_t>(size_t{std::thread::hardware_concurrency()} * per_core, 1, count);
    std::atomic<size_t> next{0};
    auto loop = [&] {
        for (size_t i; (i = next++) < count;) work(i);
    };
    std::vector<std::jthread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(loop);
    loop();
}

struct BlockStats {
    double peak = 0;
    double power = 0;  // sum of squares; NaN or infinite when a sample is not a number
};

// Four independent lanes, so the sums do not wait on each other. In the
// samples' own units.
template <class Sample>
BlockStats block_stats(const Sample* samples, size_t n) {
    double peak[4] = {}, power[4] = {};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (size_t k = 0; k < 4; ++k) {
            const double s = samples[i + k];
            const double a = std::fabs(s);
            peak[k] = a > peak[k] ? a : peak[k];
            power[k] += s * s;
        }
    }
    for (; i < n; ++i) {
        const double s = samples[i];
        peak[0] = std::max(peak[0], std::fabs(s));
        power[0] += s * s;
    }
    return {std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3])),
            (power[0] + power[1]) + (power[2] + power[3])};
}

// Integers for stored 16-bit samples: exact, and cheaper than converting.
BlockStats block_stats(const int16_t* samples, size_t n) {
    int32_t peak = 0;
    int64_t power = 0;
    for (size_t i = 0; i < n; ++i) {
        const int32_t s = samples[i];
        peak = std::max(peak, s < 0 ? -s : s);
        power += s * s;
    }
    return {double(peak), double(power)};
}

struct Options {
    bool help = false;
    bool mix = false;
    LevelKind kind = LevelKind::Loudness;
    double target_db = kDefaultTargetDb;
    std::vector<std::string> names;
};

const char* kUsage =
    "Usage: sonorix-normalize [-m] [--rms] [-a LEVEL] FILE.wav...\n"
    "  -m     bring every file to the average level of all files (mix mode)\n"
    "  -a     the level to bring each file to without -m (default -16)\n"
    "  --rms  measure the mean power of the samples (dBFS) instead of the\n"
    "         EBU R128 integrated loudness (LUFS)\n"
    "No gain makes a file clip: it is limited by the file's peak.\n"
    "Each FILE is taken as it is named (no patterns); -- ends the options.\n"
    "Files are rewritten in place.\n";

// The options, or the reason they are wrong.
std::variant<Options, std::string> parse(const std::vector<std::string>& args) {
    Options options;
    bool files_only = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (files_only || arg.empty() || arg[0] != '-' || arg == "-") {
            options.names.push_back(arg);
        } else if (arg == "--") {
            files_only = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-m") {
            options.mix = true;
        } else if (arg == "--rms") {
            options.kind = LevelKind::Rms;
        } else if (arg == "-a") {
            char* end = nullptr;
            if (i + 1 < args.size()) options.target_db = std::strtod(args[++i].c_str(), &end);
            if (!end || end == args[i].c_str() || *end || !std::isfinite(options.target_db)) {
                return "-a needs a level in dB";
            }
        } else {
            return "unknown option " + arg;
        }
    }
    return options;
}

// The files, each once: one file under two names would be measured twice and
// rewritten by two threads at once.
std::vector<fs::path> distinct(const std::vector<fs::path>& files) {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<fs::path> kept;
    for (const fs::path& file : files) {
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && !seen.emplace(st.st_dev, st.st_ino).second) continue;
        kept.push_back(file);
    }
    return kept;
}

}  // namespace

Measurement measure(const fs::path& file, LevelKind kind) {
    SoundReader in = open_wav(file, false);
    const int channels = in.info.channels;
    std::optional<LoudnessMeter> meter;
    if (kind == LevelKind::Loudness) {
        if (channels < 1 || in.info.samplerate < 1) {
            throw std::runtime_error("cannot measure the loudness of " + std::to_string(channels) + " channels at " +
                                     std::to_string(in.info.samplerate) + " Hz");
        }
        meter.emplace();
        meter->configure(in.info.samplerate, channel_weights(channels));
    }
    std::vector<float> plane_samples;
    std::vector<float*> planes;
    double peak = 0;
    long double total_power = 0;
    int64_t count = 0;
    auto take = [&](const auto* samples, sf_count_t frames, double scale) {
        const size_t n = static_cast<size_t>(frames) * static_cast<size_t>(channels);
        const BlockStats block = block_stats(samples, n);
        peak = std::max(peak, block.peak * scale);
        total_power += block.power * scale * scale;
        count += static_cast<int64_t>(n);
        if (meter)
            add_to(*meter, samples, static_cast<size_t>(frames), static_cast<size_t>(channels), plane_samples, planes);
    };
    if (is_native_16_bit(in.info)) {
        read_blocks<int16_t>(in, [&](int16_t* samples, sf_count_t frames) { take(samples, frames, 1.0 / 32768); });
    } else {
        read_blocks<float>(in, [&](float* samples, sf_count_t frames) { take(samples, frames, 1.0); });
    }
    // NaN or infinite samples (float files) would make any gain meaningless.
    if (!std::isfinite(static_cast<double>(total_power)))
        throw std::runtime_error("holds samples that are not numbers");
    Measurement m;
    m.peak = peak;
    if (meter) {
        // Below the gate (silence, or shorter than a block): no level.
        m.level_db = meter->integrated().value_or(-std::numeric_limits<double>::infinity());
    } else {
        m.level_db = 10 * std::log10(static_cast<double>(total_power / std::max<int64_t>(count, 1)));
    }
    if (!std::isfinite(m.level_db)) m.level_db = -std::numeric_limits<double>::infinity();
    return m;
}

Gain gain_for(const Measurement& m, double target_db) {
    Gain gain{target_db - m.level_db, false};
    if (m.peak > 0) {
        const double room = -20 * std::log10(m.peak) - kPeakMarginDb;
        if (gain.db > room) gain = {room, true};
    }
    return gain;
}

// Literally: a name with * ? [ is a file's name (the shell expands patterns
// before this program runs; expanding again would rewrite files nobody named).
std::vector<fs::path> file_arguments(const std::vector<std::string>& args) {
    return std::vector<fs::path>(args.begin(), args.end());
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    auto parsed = parse(args);
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        err << "sonorix-normalize: " << *reason << "\n" << kUsage;
        return 1;
    }
    Options& options = std::get<Options>(parsed);
    if (options.help) {
        out << kUsage;
        return 0;
    }
    const std::vector<fs::path> files = distinct(file_arguments(options.names));
    if (files.empty()) {
        err << "sonorix-normalize: no files given\n" << kUsage;
        return 1;
    }

    // Every file measured before any is changed: one that cannot be read
    // stops the run with all of them as they were.
    std::vector<std::optional<Measurement>> levels(files.size());
    std::vector<std::string> failures(files.size());
    for_each_parallel(files.size(), 1, [&](size_t i) {
        try {
            levels[i] = measure(files[i], options.kind);
        } catch (const std::exception& e) {
            failures[i] = e.what();
        }
    });
    bool failed = false;
    for (size_t i = 0; i < files.size(); ++i) {
        if (failures[i].empty()) continue;
        err << files[i].string() << ": " << failures[i] << std::endl;
        failed = true;
    }
    if (failed) {
        err << "sonorix-normalize: no file was changed" << std::endl;
        return 1;
    }

    const char* unit = options.kind == LevelKind::Rms ? " dBFS" : " LUFS";
    if (options.mix) {
        double sum = 0;
        int counted = 0;
        for (const auto& m : levels) {
            if (!std::isfinite(m->level_db)) continue;
            sum += m->level_db;
            ++counted;
        }
        if (counted) {
            options.target_db = sum / counted;
            char line[64];
            std::snprintf(line, sizeof line, "Average level: %.2f%s", options.target_db, unit);
            out << line << std::endl;
        }
    }

    // Lines are written whole under one lock, in the order the workers take
    // the files; the caller counts the markers for its progress. Two threads
    // per core: while one waits for its file to reach the disk, the other
    // computes.
    std::mutex output;
    std::atomic<bool> write_failed{false};
    for_each_parallel(files.size(), 2, [&](size_t i) {
        const std::string name = files[i].string();
        const Measurement& m = *levels[i];
        const Gain gain = gain_for(m, options.target_db);
        const bool adjust = std::isfinite(m.level_db) && std::fabs(gain.db) >= kNoAdjustDb;
        {
            std::lock_guard lock(output);
            if (!std::isfinite(m.level_db)) {
                out << name << ": silent, or too short to measure" << std::endl;
            } else if (gain.limited) {
                out << name << ": gain limited to " << db_text(gain.db) << " by its peak ("
                    << db_text(20 * std::log10(m.peak), " dBFS") << ")" << std::endl;
            }
            if (adjust) {
                out << "Applying adjustment of " << db_text(gain.db) << " to " << name << "..." << std::endl;
            } else {
                out << name << " already normalized, not adjusting..." << std::endl;
            }
        }
        if (!adjust) return;
        try {
            rewrite_with_gain(files[i], std::pow(10.0, gain.db / 20));
        } catch (const std::exception& e) {
            write_failed = true;
            std::lock_guard lock(output);
            err << name << ": " << e.what() << std::endl;
        }
    });
    return write_failed ? 1 : 0;
}

}  // namespace sonorix::normalizer
