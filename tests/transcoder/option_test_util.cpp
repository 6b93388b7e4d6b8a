#include "option_test_util.h"

#include "base/FFLoad.h"

namespace sonorix::test {

void OptionTest::SetUp() {
    static const bool loaded = TFFLoader::Instance().Load(kEncoderLibraries);
    ASSERT_TRUE(loaded);
    logger = std::make_unique<TFFLogger>();
    logger->SetTriggerEventInMainThread(false);
    logger->SetLogLevel(llDebug);
    logger->SetOnLog([this](TObject* sender, int, TLogLevel level, const std::string& text) {
        lines.push_back({sender, level, text});
    });
    core.init_options_context(ctx);
}

void OptionTest::TearDown() {
    core.release_options_context(ctx);
    logger.reset();
}

int OptionTest::parse(const std::string& options, const std::string& presets, const std::string& label) {
    core.init_options_context(ctx);
    lines.clear();
    return core.ParseOptions(ctx, options, label, presets);
}

std::vector<std::string> OptionTest::core_lines(TLogLevel max_level) const {
    std::vector<std::string> out;
    for (const LogLine& l : lines) {
        if (l.sender == &core && l.level <= max_level)
            out.push_back(std::string(LogLevelName(l.level)) + ": " + l.text);
    }
    return out;
}

bool OptionTest::has_line(TLogLevel level, const std::string& text) const {
    for (const LogLine& l : lines) {
        if (l.sender == &core && l.level == level && l.text == text) return true;
    }
    return false;
}

void OptionTest::add_fake_input(const std::string& kinds, int channels) {
    AVFormatContext* ic = avformat_alloc_context();
    ASSERT_NE(ic, nullptr);
    for (char kind : kinds) {
        AVStream* st = avformat_new_stream(ic, nullptr);
        ASSERT_NE(st, nullptr);
        switch (kind) {
        case 'a':
            st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
            av_channel_layout_default(&st->codecpar->ch_layout, channels);
            break;
        case 'v': st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO; break;
        case 's': st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE; break;
        default: st->codecpar->codec_type = AVMEDIA_TYPE_DATA; break;
        }
    }
    add_input_file(inputs, ic);
}

}  // namespace sonorix::test
