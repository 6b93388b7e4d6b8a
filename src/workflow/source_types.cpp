#include "workflow/source_types.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "base/FFBase.h"
#include "workflow/text.h"

namespace sonorix {

const std::string_view video_source_types =
    "*.AVI;*.MPG;*.MPEG;*.WMV;*.MP4;*.M4V;*.3GP;*.RMVB;*.RM;*.FLV;*.SWF;*.MKV;*.H264;*.WEBM;*.MOV;*.VOB;*.IFO;"
    "*.YUV;*.AVM;*.ASF;*.AVS;*.DAT;*.OGM;*.TS;*.TP;*.NSV;*.AMV;*.ASV;*.FFV;*.MTS;";
const std::string_view audio_source_types =
    "*.WAV;*.WAVE;*.MP3;*.WMA;*.AAC;*.AC3;*.FLAC;*.ALAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;"
    "*.RA;*.WV;*.TTA;*.DTS;*.G726;*.GSM;*.AIF;*.AIFF;*.AIFC;*.AU;*.SND;*.PCM;*.DSP;*.COOK;*.DCA;*.IMC;*.TTA;";
const std::string_view video_target_types =
    "*.AVI;*.MPG;*.MPEG;*.WMV;*.MP4;*.M4V;*.3GP;*.RM;*.FLV;*.SWF;*.MKV;*.WEBM;*.MOV;*.VOB;*.ASF;*.TS;*.MTS;";
const std::string_view audio_target_types =
    "*.WAV;*.MP3;*.WMA;*.AAC;*.AC3;*.FLAC;*.M4A;*.MKA;*.MP2;*.OGG;*.RA;*.AIF;*.AIFF;*.AIFC;*.AU;";

bool is_member(std::string_view list, const std::string& file_name) {
    const std::string ext = upper_text(std::filesystem::path(file_name).extension().string());
    if (ext.size() < 2) return false;  // "" or a lone dot
    return list.find(ext) != std::string_view::npos;
}

std::string duration_text(int64_t d) {
    constexpr int64_t T = 1000000;
    const int64_t hours = d / T / 60 / 60;
    const int64_t minutes = (d / T / 60) % 60;
    const int64_t seconds = (d / T) % 60;
    const int64_t millis = ((d % T) * 1000) / T;
    return Format("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(hours), static_cast<long long>(minutes),
                  static_cast<long long>(seconds), static_cast<long long>(millis));
}

std::string source_file_filter() {
    const std::string audio(audio_source_types), video(video_source_types);
    return "All Audio and Video Files|" + audio + video + "|Audio Files|" + audio + "|Video Files|" + video + "|";
}

bool same_file(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

}  // namespace sonorix
