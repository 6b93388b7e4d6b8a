// sonorix-make-media: writes one test file with a known peak and duration
// (or, with --measure, prints what an existing file decodes to).
#include "base/libav.h"
#include "support/media_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr char kUsage[] =
    "usage: sonorix-make-media OUT [--duration S] [--rate HZ] [--channels 2[,6...]|0]\n"
    "                          [--peak DB[,DB...]] [--tone HZ] [--phase DEG] [--video WxH@FPS] [--subtitle] [--cover]\n"
    "                          [--bit-rates B[,B...]]\n"
    "                          [--audio-codec NAME] [--video-codec NAME] [--subtitle-codec NAME]\n"
    "       sonorix-make-media FILE --measure\n";

double parse_number(const std::string& text, const std::string& option) {
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end) throw std::runtime_error(option + ": not a number: '" + text + "'");
    return v;
}

int parse_int(const std::string& text, const std::string& option) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0 || v > 1'000'000'000)
        throw std::runtime_error(option + ": not a count: '" + text + "'");
    return static_cast<int>(v);
}

std::vector<int> parse_channels(const std::string& text) {
    std::vector<int> out;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        int n = parse_int(text.substr(start, comma - start), "--channels");
        if (n > 0) out.push_back(n);
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

void parse_video(const std::string& text, sonorix::test::MediaSpec& media) {
    const size_t x = text.find('x'), at = text.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x)
        throw std::runtime_error("--video: expected WxH@FPS, got '" + text + "'");
    media.width = parse_int(text.substr(0, x), "--video width");
    media.height = parse_int(text.substr(x + 1, at - x - 1), "--video height");
    AVRational rate{};
    if (av_parse_video_rate(&rate, text.substr(at + 1).c_str()) < 0 || rate.num <= 0)
        throw std::runtime_error("--video: bad frame rate '" + text.substr(at + 1) + "'");
    media.frame_rate_num = rate.num;
    media.frame_rate_den = rate.den;
    media.video = true;
}

int run(int argc, char** argv) {
    std::string out;
    bool measure = false;
    sonorix::test::MediaSpec media;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--duration") {
            media.duration_seconds = parse_number(value(), "--duration");
        } else if (arg == "--rate") {
            media.sample_rate = parse_int(value(), "--rate");
        } else if (arg == "--channels") {
            media.audio_channels = parse_channels(value());
        } else if (arg == "--peak") {
            // One peak for all streams, or one per stream: "-1,-20".
            const std::string text = value();
            size_t start = 0;
            for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
                media.audio_peaks_db.push_back(parse_number(text.substr(start, comma - start), "--peak"));
            media.peak_db = parse_number(text.substr(start), "--peak");
            if (!media.audio_peaks_db.empty()) media.audio_peaks_db.push_back(media.peak_db);
        } else if (arg == "--tone") {
            media.tone_hz = parse_number(value(), "--tone");
        } else if (arg == "--phase") {
            media.tone_phase_degrees = parse_number(value(), "--phase");
        } else if (arg == "--video") {
            parse_video(value(), media);
        } else if (arg == "--subtitle") {
            media.subtitle = true;
        } else if (arg == "--cover") {
            media.cover = true;
        } else if (arg == "--bit-rates") {
            media.audio_bit_rates = parse_channels(value());
        } else if (arg == "--audio-codec") {
            media.audio_codec = value();
        } else if (arg == "--video-codec") {
            media.video_codec = value();
        } else if (arg == "--subtitle-codec") {
            media.subtitle_codec = value();
        } else if (arg == "--measure") {
            measure = true;
        } else if (arg.starts_with("-") || !out.empty()) {
            throw std::runtime_error("unexpected argument '" + std::string(arg) + "'\n" + kUsage);
        } else {
            out = arg;
        }
    }
    if (out.empty()) throw std::runtime_error(std::string("no output file given\n") + kUsage);

    if (measure) {
        const auto m = sonorix::test::measure_audio(out);
        std::printf("peak_db=%.4f rms_db=%.4f duration=%.6f channels=%d rate=%d\n", m.peak_db, m.rms_db,
                    m.duration_seconds, m.channels, m.sample_rate);
        return 0;
    }
    sonorix::test::make_media(out, media);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);  // our own message says what failed
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "sonorix-make-media: " << e.what() << "\n";
        return 1;
    }
}
