// Feeds arbitrary option texts and preset texts to a fresh core object.
//
// Input: one mode byte (bit 0 strict mode, bit 1 input-file label), then the
// option text, then after the first NUL byte the preset text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/FFLoad.h"
#include "transcoder/FFmpegOpt.h"

using namespace sonorix;

namespace {

// Rows whose effect reaches outside the process's parser state: writing
// files or sockets, the allocation limit, forced CPU flags.
bool touches_the_process(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        for (const char* name : {"progress", "max_alloc", "cpuflags"}) {
            if (a.find(name) != std::string::npos) return true;
        }
    }
    return false;
}

AVFormatContext* fake_input(const char* kinds) {
    AVFormatContext* ic = avformat_alloc_context();
    for (const char* k = kinds; ic && *k; ++k) {
        AVStream* st = avformat_new_stream(ic, nullptr);
        if (!st) break;
        st->codecpar->codec_type = *k == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
        if (*k == 'a') av_channel_layout_default(&st->codecpar->ch_layout, 2);
    }
    return ic;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool loaded = TFFLoader::Instance().Load(kEncoderLibraries);
    if (!loaded || size == 0) return 0;
    const uint8_t mode = data[0];
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t nul = input.find('\0');
    const std::string options = input.substr(0, nul);
    const std::string presets = nul == std::string::npos ? std::string() : input.substr(nul + 1);
    if (touches_the_process(split_option_text(options))) return 0;

    std::vector<TInputFile> inputs;
    add_input_file(inputs, fake_input("av"));
    add_input_file(inputs, fake_input("vaa"));
    TCustomFFmpegOpt core(nullptr, &inputs);
    core.strict_options = mode & 1;
    OptionsContextScope ctx(core);
    try {
        core.ParseOptions(*ctx, options, (mode & 2) ? "input file" : "output file", presets);
        if (!ctx->codec_names.empty()) {
            AVFormatContext* ic = inputs[0].ctx.get();
            core.match_per_stream(ctx->codec_names, ic, ic->streams[0]);
        }
    } catch (const std::exception&) {
        // Value and set-up errors raise by contract.
    }
    return 0;
}
