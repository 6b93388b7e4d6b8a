#include "workflow/format_text.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/libav_handles.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace sonorix::test;

// The list's Format cell: decoder names ("mp3float(MP3 (MPEG audio layer...")
// are not what a person reads; covers are no video; tracks are all named.
TEST(FormatText, SaysCodecRateAndLayoutOfEveryTrack) {
    TempDir dir;
    struct Case {
        const char* name;
        void (*set)(MediaSpec&);
        const char* text;  // a pattern: an M4A's rate is what its packets average
    } cases[] = {
        {"a.mp3", [](MediaSpec& s) { s.audio_bit_rates = {192000}; }, "MP3 \u00b7 192 kb/s \u00b7 stereo"},
        {"b.flac", [](MediaSpec& s) { s.audio_channels = {1}; }, "FLAC \u00b7 44\\.1 kHz \u00b7 mono"},
        {"c.wav", [](MediaSpec& s) { s.sample_rate = 48000; }, "PCM 16-bit \u00b7 48 kHz \u00b7 stereo"},
        {"d.wav", [](MediaSpec& s) { s.audio_codec = "pcm_f32le"; },
         "PCM 32-bit float \u00b7 44\\.1 kHz \u00b7 stereo"},
        {"e.m4a", [](MediaSpec& s) { s.cover = true, s.audio_bit_rates = {128000}; },
         "AAC \u00b7 1[0-9][0-9] kb/s \u00b7 stereo"},
        {"f.mp4",
         [](MediaSpec& s) {
             s.audio_channels = {6, 2}, s.video = true;
         },
         "H\\.264 \u00b7 AAC 5\\.1 \\+ stereo"},
        {"g.mkv", [](MediaSpec& s) { s.audio_channels = {}, s.video = true; }, "H\\.264"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MediaSpec wanted;
        c.set(wanted);
        const auto path = make_media(dir.path() / c.name, wanted);
        AVFormatContext* raw = nullptr;
        ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
        InputFilePtr file(raw);
        ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0);
        EXPECT_TRUE(std::regex_match(readable_format(file.get()), std::regex(c.text))) << readable_format(file.get());
    }
}
