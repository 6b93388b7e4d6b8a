#include "single/output_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "engine/FFDecode.h"
#include "single/text.h"

namespace sonorix {

namespace {


std::string extension_of(const std::string& file) { return lower_text(std::filesystem::path(file).extension().string()); }


bool contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// mpeg4, with a frame rate the codec can take when the source's numerator
// is too large for it.
std::string mpeg4_with_fix(const SourceFacts& s) {
    std::string out = " -c:v mpeg4";
    if (s.frame_rate_num > 65535 && s.frame_rate_den != 0) {
        const double r = std::nearbyint(static_cast<double>(s.frame_rate_num) / s.frame_rate_den * 100);
        if (r / 100 <= 65535) out += " -r " + real_text(r / 100);
    }
    return out;
}

std::string h264_or(const SourceFacts& s, const std::string& otherwise) {
    return contains(s.info, "264") ? " -c:v libx264" : otherwise;
}

}  // namespace

SourceFacts source_facts(TCustomDecoder& probe) {
    SourceFacts f;
    f.info = lower_text(probe.GetInfoText());
    TVideoStreamInfo video;
    if (probe.VideoStreamCount > 0) probe.GetVideoStreamInfo(-1, video);
    f.frame_rate_num = video.FrameRate.num;
    f.frame_rate_den = video.FrameRate.den;
    f.width = video.Width;
    f.height = video.Height;
    TAudioStreamInfo audio;
    if (probe.AudioStreamCount > 0) probe.GetAudioStreamInfo(-1, audio);
    f.sample_rate = audio.SampleRate;
    f.channels = audio.Channels;
    return f;
}

std::string real_text(double value) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, res.ptr);
}

std::string ffcodec(const std::string& target_file, const SourceFacts& s) {
    const std::string x = trim_blanks(extension_of(target_file));
    std::string out;
    if (x == ".avi") out += h264_or(s, contains(s.info, "xvid") ? " -c:v libxvid" : mpeg4_with_fix(s));
    if ((x == ".flv" || x == ".swf") && s.sample_rate != 11025 && s.sample_rate != 22050 && s.sample_rate != 44100) {
        out += " -ar 44100";
    }
    if (x == ".flv") out += h264_or(s, contains(s.info, "mpeg4") ? mpeg4_with_fix(s) : " -c:v flv1");
    if (x == ".mp4") {
        out += h264_or(s, mpeg4_with_fix(s));
        if (contains(s.info, "mp3")) out += " -c:a libmp3lame";
    }
    if (x == ".m4v") out += h264_or(s, mpeg4_with_fix(s));
    if (x == ".mkv") out += " -c:v libx264";
    if (x == ".3gp") out += h264_or(s, mpeg4_with_fix(s)) + " -ar 8000 -ac 1";
    if (x == ".rm") out += " -c:v rv20";
    if (x == ".wmv") out += (contains(s.info, "wmv") ? std::string(" -c:v wmv2") : mpeg4_with_fix(s)) + " -c:a wmav2";
    if (x == ".webm") out += " -f webm -c:v libvpx -c:a libvorbis";
    if (x == ".mts") out += " -c:v libx264";
    if ((x == ".mpg" || x == ".mpeg") && s.frame_rate_den != 0 &&
        static_cast<double>(s.frame_rate_num) / s.frame_rate_den < 20) {
        out += " -r 20";
    }
    static const char* const kDownmix[] = {".avi", ".mpg", ".mpeg", ".wmv", ".m4v",
                                           ".flv", ".swf", ".mkv",  ".vob", ".asf"};
    if (std::find(std::begin(kDownmix), std::end(kDownmix), x) != std::end(kDownmix) && s.channels > 2) out += " -ac 2";
    return out;
}

std::string ffcodec(const std::string& target_file, TCustomDecoder& probe) {
    return ffcodec(target_file, source_facts(probe));
}

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        const SourceFacts& s) {
    int w = std::atoi(width.c_str());
    int h = std::atoi(height.c_str());
    const std::string x = extension_of(target_file);  // not trimmed, as the rules say
    auto even = [](int& v) {
        if (v % 2) ++v;
    };
    if (x == ".rm") {
        if (w % 4) w += 4 - w % 4;
        if (h % 4) h += 4 - h % 4;
    } else if (x == ".wmv" && contains(s.info, "wmv")) {
        even(w);
    } else if (!x.empty() && std::string(".avi.mpg.mpeg.flv.webm.vob.asf").find(x) != std::string::npos) {
        if (contains(s.info, "264")) {
            even(w);
            even(h);
        }
    } else {
        even(w);
        even(h);
    }
    return std::to_string(w) + ":" + std::to_string(h);
}

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        TCustomDecoder& probe) {
    return ffframesize(width, height, target_file, source_facts(probe));
}

}  // namespace sonorix
