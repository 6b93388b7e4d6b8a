#include "base/FFLoad.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "base/libav.h"
#include "engine/track_meter.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;

namespace {

// Each test starts from the loader as the program sees it at start.
class Loader : public ::testing::Test {
protected:
    void SetUp() override { TFFLoader::Instance().Unload(kEncoderLibraries); }
};

TEST_F(Loader, NothingIsLoadedBeforeTheFirstLoadAndEverythingAfter) {
    TFFLoader& loader = TFFLoader::Instance();
    EXPECT_FALSE(loader.Loaded(kEncoderLibraries));
    EXPECT_FALSE(loader.Loaded(kDecoderLibraries));
    ASSERT_TRUE(loader.Load(kDecoderLibraries)) << loader.LastErrorMessage();
    EXPECT_TRUE(loader.Loaded(kDecoderLibraries));
    EXPECT_FALSE(loader.Loaded(kEncoderLibraries)) << "avdevice and avfilter are not in the probe's set";
    ASSERT_TRUE(loader.Load(kEncoderLibraries));
    EXPECT_TRUE(loader.Load(kEncoderLibraries)) << "loading again is harmless";
    EXPECT_TRUE(loader.Loaded(kEncoderLibraries));
}

TEST_F(Loader, TableReportsTheLinkedVersions) {
    TFFLoader& loader = TFFLoader::Instance();
    const std::pair<const char*, unsigned> want[] = {
        {"avcodec", avcodec_version()},   {"avdevice", LIBAVDEVICE_VERSION_INT}, {"avfilter", avfilter_version()},
        {"avformat", avformat_version()}, {"avutil", avutil_version()},          {"swresample", swresample_version()},
        {"swscale", swscale_version()},
    };
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(loader.Item(i).BaseName, want[i].first);
        EXPECT_EQ(loader.Item(i).Version, static_cast<int>(want[i].second >> 16));
        EXPECT_FALSE(loader.Item(i).System);
    }
    EXPECT_EQ(loader.Item(liAVCodec).FileName(), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
    EXPECT_TRUE(loader.Item(liRuntime).System);
    EXPECT_EQ(loader.Item(liRuntime).Version, -1);
}

TEST_F(Loader, CheckLoadedNamesTheFirstMissingLibrary) {
    TFFLoader& loader = TFFLoader::Instance();
    try {
        loader.CheckLoaded(kEncoderLibraries);
        FAIL() << "expected an exception";
    } catch (const EEngineError& e) {
        EXPECT_STREQ(e.what(), "Library avcodec not loaded.");
    }
    ASSERT_TRUE(loader.Load(kDecoderLibraries));
    try {
        loader.CheckLoaded(kEncoderLibraries);
        FAIL() << "expected an exception";
    } catch (const EEngineError& e) {
        EXPECT_STREQ(e.what(), "Library avdevice not loaded.");
    }
    EXPECT_NO_THROW(loader.CheckLoaded(kDecoderLibraries));
}

// avdevice, avfilter and swscale, with the many libraries they need, are
// opened only when first needed: a device format by a name that no other
// format has, a filter graph or a scaler by its first call. A measurement
// opens none of them. In a fresh process (the child), as at the program's start.
TEST_F(Loader, DeferredLibrariesOpenWhenFirstNeeded) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    const auto wav = test::make_media(dir.path() / "tone.wav");
    EXPECT_EXIT(
        {
            const auto in_process = [](const char* base, int major) {
                const std::string name = std::string("lib") + base + ".so." + std::to_string(major);
                void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
                if (handle) dlclose(handle);
                return handle != nullptr;
            };
            const auto devices = [&] { return in_process("avdevice", LIBAVDEVICE_VERSION_MAJOR); };
            const auto filters = [&] { return in_process("avfilter", LIBAVFILTER_VERSION_MAJOR); };
            const auto scaler = [&] { return in_process("swscale", LIBSWSCALE_VERSION_MAJOR); };
            TFFLoader& loader = TFFLoader::Instance();
            bool ok = loader.Load(kEncoderLibraries) && loader.Loaded(kEncoderLibraries);
            MeterRequest request;
            request.loudness = true;
            ok = ok && measure_tracks(wav.string(), request).tracks.size() == 1;
            ok = ok && !devices() && !filters() && !scaler();
            ok = ok && find_input_format("wav") && !find_input_format("no-such-format") && devices() &&
                 find_input_format("lavfi") && loader.Load(kEncoderLibraries);
            AVFilterGraph* graph = avfilter_graph_alloc();
            ok = ok && graph && filters() && avfilter_get_by_name("volume");
            avfilter_graph_free(&graph);
            ok = ok && sws_get_class() && scaler();
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Loader, EmptySetIsRefused) {
    TFFLoader& loader = TFFLoader::Instance();
    EXPECT_THROW(loader.Load(0), EEngineError);
    EXPECT_THROW(loader.Loaded(0), EEngineError);
    EXPECT_THROW(loader.Unload(0), EEngineError);
}

TEST_F(Loader, AFailingLibraryUnloadsTheSetAndALaterLoadSucceeds) {
    TFFLoader& loader = TFFLoader::Instance();
    loader.Status(liSWScale).FileName = "libsonorix-missing.so.1";
    EXPECT_FALSE(loader.Load(kEncoderLibraries));
    EXPECT_EQ(loader.LastErrorMessage().rfind("Load library libsonorix-missing.so.1 error: ", 0), 0u)
        << loader.LastErrorMessage();
    EXPECT_FALSE(loader.Loaded(1u << liAVCodec)) << "libraries loaded before the failure are unloaded again";
    loader.Status(liSWScale).FileName.clear();
    EXPECT_TRUE(loader.Load(kEncoderLibraries)) << loader.LastErrorMessage();
}

TEST_F(Loader, LoadingAvutilHooksTheLogAndAppliesTheLevel) {
    MainThreadQueue::Instance().SetMainThread();
    TFFLogger logger;
    logger.SetLogLevel(llVerbose);
    std::vector<std::string> got;
    logger.SetOnLog([&](TObject*, int, TLogLevel, const std::string& m) { got.push_back(m); });
    av_log(nullptr, AV_LOG_ERROR, "before the hook\n");
    ASSERT_TRUE(TFFLoader::Instance().Load(kDecoderLibraries));
    EXPECT_EQ(av_log_get_level(), AV_LOG_VERBOSE);
    av_log(nullptr, AV_LOG_ERROR, "after the hook\n");
    EXPECT_EQ(got, std::vector<std::string>{"after the hook"});
}

class LockTable : public ::testing::Test {
protected:
    void SetUp() override {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        logger_.SetLogLevel(llDebug);
        logger_.SetOnLog([this](TObject*, int, TLogLevel l, const std::string& m) { lines_.push_back({l, m}); });
    }
    TFFLogger logger_;
    std::vector<std::pair<TLogLevel, std::string>> lines_;
};

TEST_F(LockTable, FourOperationsWithTheirMessages) {
    TFFLoader& loader = TFFLoader::Instance();
    int slot = 0;
    ASSERT_EQ(loader.LockManager(&slot, loCreate), 0);
    ASSERT_NE(slot, 0);
    EXPECT_EQ(loader.LockManager(&slot, loCreate), -1) << "a slot holds one mutex";
    EXPECT_EQ(loader.LockManager(&slot, loObtain), 0);
    EXPECT_EQ(loader.LockManager(&slot, loRelease), 0);
    EXPECT_EQ(loader.LockManager(&slot, loDestroy), 0);
    EXPECT_EQ(loader.LockManager(&slot, loObtain), -1);
    EXPECT_EQ(loader.LockManager(&slot, 7), -1);
    const int n = lines_.empty() ? 0 : std::stoi(lines_[0].second.substr(lines_[0].second.find('[', 1) + 1));
    const std::vector<std::pair<TLogLevel, std::string>> want = {
        {llDebug, "[lock manager] mutex [" + std::to_string(n) + "] created."},
        {llError, "[lock manager] error, mutex [" + std::to_string(n) + "] already exist."},
        {llDebug, "[lock manager] mutex [" + std::to_string(n) + "] obtained."},
        {llDebug, "[lock manager] mutex [" + std::to_string(n) + "] release."},
        {llDebug, "[lock manager] mutex [" + std::to_string(n) + "] destroyed."},
        {llError, "[lock manager] error, mutex not available."},
        {llError, "[lock manager] error, invalid mutex operation 7."},
    };
    EXPECT_EQ(lines_, want);
}

TEST_F(LockTable, CodecLockExcludesConcurrentOpenings) {
    logger_.SetLogLevel(llInfo);
    int inside = 0, max_inside = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                CodecOpenLock lock;
                max_inside = std::max(max_inside, ++inside);
                --inside;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(max_inside, 1);
}

}  // namespace
