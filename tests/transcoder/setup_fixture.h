// Shared fixture of the set-up tests: media made once per suite, a core
// object, and the log captured synchronously.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"
#include "transcoder/FFmpeg.h"

namespace sonorix::test {

namespace fs = std::filesystem;

class SetupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        dir_ = new TempDir("sonorix-setup");
        MediaSpec wav;
        make_media(*dir_ / "tone.wav", wav);
        MediaSpec movie;
        movie.video = true;
        make_media(*dir_ / "movie.mp4", movie);
        MediaSpec multi;
        multi.video = true;
        multi.audio_channels = {2, 6};
        multi.subtitle = true;
        make_media(*dir_ / "multi.mkv", multi);
        MediaSpec mono_first = multi;
        mono_first.audio_channels = {1, 6};
        mono_first.subtitle = false;
        make_media(*dir_ / "mono_first.mkv", mono_first);
        MediaSpec silent;
        silent.video = true;
        silent.audio_channels = {};
        make_media(*dir_ / "silent.mp4", silent);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        logger_.SetTriggerEventInMainThread(false);
        logger_.SetLogLevel(llDebug);
        logger_.SetOnLog([this](TObject* sender, int, TLogLevel level, const std::string& text) {
            std::lock_guard lock(mutex_);
            lines_.push_back({sender == &core_, level, text});
        });
    }

    static std::string file(const std::string& name) { return (*dir_ / name).string(); }

    // Open results; a raised set-up error becomes -1000 with its text kept.
    int open_input(const std::string& name, const std::string& options = "") {
        return guarded([&](TOptionsContext& o) { return core_.OpenInputFile(o, options, name, ""); });
    }
    int open_output(const std::string& options, const std::string& name) {
        return guarded([&](TOptionsContext& o) { return core_.OpenOutputFile(o, options, false, name, ""); });
    }
    template <class F>
    int guarded(F&& f) {
        OptionsContextScope scope(core_);
        try {
            return f(*scope);
        } catch (const FFmpegException& e) {
            raised_ = e.what();
            return -1000;
        }
    }

    bool logged(const std::string& text, TLogLevel level) {
        std::lock_guard lock(mutex_);
        for (const Line& l : lines_) {
            if (l.level == level && l.text.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // The core's own warnings and errors (library lines are the libraries' affair).
    std::vector<std::string> core_complaints() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const Line& l : lines_) {
            // A plain WAV carries no layout: the guess is the specified answer.
            if (l.own && l.level <= llWarning && l.text.rfind("Guessed Channel Layout", 0) != 0) {
                out.push_back(l.text);
            }
        }
        return out;
    }
    TOutputStream& ost(size_t i) { return *core_.output_streams.at(i); }
    AVMediaType type_of(size_t i) { return ost(i).st->codecpar->codec_type; }
    // Names of the library graph's filters in creation order.
    static std::vector<std::string> filter_names(const TFilterGraph& fg) {
        std::vector<std::string> names;
        for (unsigned i = 0; i < fg.graph->nb_filters; ++i) names.push_back(fg.graph->filters[i]->filter->name);
        return names;
    }

    struct Line {
        bool own;
        TLogLevel level;
        std::string text;
    };
    static inline TempDir* dir_ = nullptr;
    TFFLogger logger_;
    std::mutex mutex_;
    std::vector<Line> lines_;
    TCustomFFmpeg core_;
    std::string raised_;
};

}  // namespace sonorix::test
