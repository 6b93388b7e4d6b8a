#include "workflow/source_types.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace sonorix;

TEST(SourceTypes, ListsHaveTheirEntryCounts) {
    auto entries = [](std::string_view list) { return std::count(list.begin(), list.end(), ';'); };
    EXPECT_EQ(entries(video_source_types), 30);
    EXPECT_EQ(entries(audio_source_types), 34);
    EXPECT_EQ(entries(video_target_types), 17);
    EXPECT_EQ(entries(audio_target_types), 15);
}

TEST(SourceTypes, MembershipIsASubstringTestOnTheUpperCasedExtension) {
    struct Case {
        std::string_view list;
        const char* name;
        bool member;
    };
    const Case cases[] = {
        {audio_source_types, "/music/Song.Mp3", true},
        {audio_source_types, "/music/song.wave", true},
        {video_source_types, "/films/x.mkv", true},
        {video_source_types, "/films/x.mp", true},  // inside "*.MPG;"
        {audio_source_types, "/films/x.mp", true},  // inside "*.MP3;"
        {audio_source_types, "/music/noextension", false},
        {audio_source_types, "/music/dotted.", false},
        {audio_source_types, "/music.d/file", false},
        {video_target_types, "/x/clip.rmvb", false},  // a source type, not a target
        {audio_target_types, "/x/y.aiff", true},
        {audio_source_types, "/x/y.txt", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_member(c.list, c.name), c.member) << c.name;
}

TEST(SourceTypes, DurationText) {
    EXPECT_EQ(duration_text(3723456789), "01:02:03.456");
    EXPECT_EQ(duration_text(0), "00:00:00.000");
    EXPECT_EQ(duration_text(360000000000), "100:00:00.000");
    EXPECT_EQ(duration_text(999), "00:00:00.000");
    EXPECT_EQ(duration_text(59999999), "00:00:59.999");
}

TEST(SourceTypes, OpenDialogFilterIsTheExactText) {
    EXPECT_EQ(source_file_filter(),
              "All Audio and Video "
              "Files|*.WAV;*.WAVE;*.MP3;*.WMA;*.AAC;*.AC3;*.FLAC;*.ALAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*."
              "OFR;*.OGG;*.RA;*.WV;*.TTA;*.DTS;*.G726;*.GSM;*.AIF;*.AIFF;*.AIFC;*.AU;*.SND;*.PCM;*.DSP;*.COOK;*.DCA;*."
              "IMC;*.TTA;*.AVI;*.MPG;*.MPEG;*.WMV;*.MP4;*.M4V;*.3GP;*.RMVB;*.RM;*.FLV;*.SWF;*.MKV;*.H264;*.WEBM;*.MOV;*"
              ".VOB;*.IFO;*.YUV;*.AVM;*.ASF;*.AVS;*.DAT;*.OGM;*.TS;*.TP;*.NSV;*.AMV;*.ASV;*.FFV;*.MTS;|Audio "
              "Files|*.WAV;*.WAVE;*.MP3;*.WMA;*.AAC;*.AC3;*.FLAC;*.ALAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*."
              "OFR;*.OGG;*.RA;*.WV;*.TTA;*.DTS;*.G726;*.GSM;*.AIF;*.AIFF;*.AIFC;*.AU;*.SND;*.PCM;*.DSP;*.COOK;*.DCA;*."
              "IMC;*.TTA;|Video "
              "Files|*.AVI;*.MPG;*.MPEG;*.WMV;*.MP4;*.M4V;*.3GP;*.RMVB;*.RM;*.FLV;*.SWF;*.MKV;*.H264;*.WEBM;*.MOV;*."
              "VOB;*.IFO;*.YUV;*.AVM;*.ASF;*.AVS;*.DAT;*.OGM;*.TS;*.TP;*.NSV;*.AMV;*.ASV;*.FFV;*.MTS;|");
}
