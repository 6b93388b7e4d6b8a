#include "engine/FFDecode.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <algorithm>
#include <fstream>
#include <vector>

#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

class ProbeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        dir_ = new test::TempDir("sonorix-probe");
        test::MediaSpec wav;
        wav.duration_seconds = 2.0;
        test::make_media(*dir_ / "tone.wav", wav);
        test::MediaSpec video_only;
        video_only.audio_channels = {};
        video_only.video = true;
        video_only.frame_rate_num = 30000;
        video_only.frame_rate_den = 1001;
        test::make_media(*dir_ / "silent.mp4", video_only);
        test::MediaSpec movie;
        movie.video = true;
        movie.audio_channels = {2, 6};
        movie.subtitle = true;
        test::make_media(*dir_ / "movie.mkv", movie);
        test::make_media(*dir_ / "song.mp3", wav);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        logger_.SetLogLevel(llInfo);
        logger_.SetOnLog([this](TObject*, int, TLogLevel l, const std::string& m) { lines_.push_back({l, m}); });
    }
    fs::path file(const std::string& name) const { return *dir_ / name; }

    static test::TempDir* dir_;
    TFFLogger logger_;
    std::vector<std::pair<TLogLevel, std::string>> lines_;
    TFFDecoder probe_;
};

test::TempDir* ProbeTest::dir_ = nullptr;

TEST_F(ProbeTest, AudioFileIsDescribed) {
    ASSERT_TRUE(probe_.LoadFile(file("tone.wav").string())) << probe_.LastErrorMessage();
    EXPECT_EQ(probe_.StreamCount, 1);
    EXPECT_EQ(probe_.AudioStreamCount, 1);
    EXPECT_EQ(probe_.FirstAudioStream, 0);
    EXPECT_EQ(probe_.VideoStreamCount, 0);
    EXPECT_EQ(probe_.FirstVideoStream, -1);
    EXPECT_EQ(probe_.FileSize, static_cast<int64_t>(fs::file_size(file("tone.wav"))));

    TFileStreamInfo fi;
    probe_.GetFileInfo(fi);
    EXPECT_NEAR(fi.Duration, 2000000, 1000);
    EXPECT_NEAR(fi.BitRate, 44100 * 2 * 16, 1000);

    TAudioStreamInfo ai;
    probe_.GetAudioStreamInfo(-1, ai);
    EXPECT_EQ(ai.Channels, 2);
    EXPECT_EQ(ai.SampleRate, 44100);
    EXPECT_EQ(ai.SampleFormat, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(ai.CodecName, "pcm_s16le(PCM signed 16-bit little-endian)");
    EXPECT_NEAR(ai.Duration, 2000000, 1000);
    EXPECT_EQ(ai.DurationTicks, 88200);

    const std::string text = probe_.GetInfoText();
    EXPECT_EQ(text.rfind("File Name: " + file("tone.wav").string() +
                             "\r\nFormat Name: wav\r\n"
                             "Format Long Name: WAV / WAVE (Waveform Audio)\r\nFile Size: ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\r\nDuration: 00:00:02.005, bitrate: 1411 kb/s\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  Stream #0, 1/44100: Audio: pcm_s16le"), std::string::npos) << text;
    EXPECT_TRUE(lines_.empty());

    probe_.CloseFile();
    EXPECT_EQ(probe_.StreamCount, -1);
    EXPECT_EQ(probe_.FileSize, -1);
    EXPECT_EQ(probe_.GetInfoText(), "");
}

TEST_F(ProbeTest, VideoOnlyFileHasNoAudioStream) {
    ASSERT_TRUE(probe_.LoadFile(file("silent.mp4").string())) << probe_.LastErrorMessage();
    EXPECT_EQ(probe_.AudioStreamCount, 0);
    EXPECT_EQ(probe_.FirstAudioStream, -1);
    TAudioStreamInfo ai;
    probe_.GetAudioStreamInfo(-1, ai);
    EXPECT_EQ(ai.Channels, -1);
    EXPECT_EQ(ai.SampleRate, -1);
    EXPECT_EQ(ai.BitRate, -1);
    EXPECT_EQ(probe_.LastErrorMessage(), "no audio stream.");
    ASSERT_FALSE(lines_.empty());
    EXPECT_EQ(lines_.back(), std::make_pair(llError, std::string("no audio stream.")));

    TVideoStreamInfo vi;
    probe_.GetVideoStreamInfo(-1, vi);
    EXPECT_EQ(vi.Width, 320);
    EXPECT_EQ(vi.Height, 240);
    EXPECT_EQ(vi.FrameRate.num * 1001, vi.FrameRate.den * 30000);
    EXPECT_EQ(vi.PixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_TRUE(probe_.IsVideoStream(0));
    EXPECT_NE(probe_.GetInfoText().find(", 29.97 fps"), std::string::npos);
}

TEST_F(ProbeTest, StreamKindsAndQueriesOnTheWrongKind) {
    ASSERT_TRUE(probe_.LoadFile(file("movie.mkv").string())) << probe_.LastErrorMessage();
    EXPECT_EQ(probe_.StreamCount, 4);
    EXPECT_EQ(probe_.VideoStreamCount, 1);
    EXPECT_EQ(probe_.AudioStreamCount, 2);
    EXPECT_EQ(probe_.SubtitleStreamCount, 1);
    TAudioStreamInfo ai;
    probe_.GetAudioStreamInfo(probe_.FirstAudioStream + 1, ai);
    EXPECT_EQ(ai.Channels, 6);
    probe_.GetAudioStreamInfo(probe_.FirstVideoStream, ai);
    EXPECT_EQ(probe_.LastErrorMessage(), Format("stream #%d is not audio stream.", probe_.FirstVideoStream));
    EXPECT_EQ(ai.Channels, -1);
    TVideoStreamInfo vi;
    probe_.GetVideoStreamInfo(probe_.FirstAudioStream, vi);
    EXPECT_EQ(probe_.LastErrorMessage(), Format("stream #%d is not video stream.", probe_.FirstAudioStream));
    probe_.GetVideoStreamInfo(99, vi);
    EXPECT_EQ(probe_.LastErrorMessage(), "stream index #99 is invalid.");
    EXPECT_FALSE(probe_.IsVideoStream(99));
    const std::string text = probe_.GetInfoText();
    EXPECT_NE(text.find(", 25 fps, 25 tbr, 1k tbn"), std::string::npos) << text;
}

TEST_F(ProbeTest, QueriesWithoutAFileReturnDefaultsAndWarn) {
    TFileStreamInfo fi;
    probe_.GetFileInfo(fi);
    EXPECT_EQ(fi.Duration, -1);
    EXPECT_EQ(fi.StartTime, AV_NOPTS_VALUE);
    EXPECT_EQ(fi.Year, -1);
    TVideoStreamInfo vi;
    probe_.GetVideoStreamInfo(-1, vi);
    EXPECT_EQ(vi.SampleAspect, -1.0f);
    EXPECT_FALSE(probe_.IsVideoStream(0));
    EXPECT_EQ(probe_.GetInfoText(), "");
    for (const auto& l : lines_) EXPECT_EQ(l, std::make_pair(llWarning, std::string("file not loaded.")));
    EXPECT_EQ(lines_.size(), 4u);
}

TEST_F(ProbeTest, UnknownFormatNameFailsAtOnce) {
    EXPECT_FALSE(probe_.LoadFile(file("tone.wav").string(), "no-such-format"));
    EXPECT_EQ(probe_.LastErrorMessage(), "Unknown input format: no-such-format");
    EXPECT_EQ(probe_.StreamCount, -1);
    EXPECT_TRUE(probe_.LoadFile(file("tone.wav").string(), "wav"));
    EXPECT_EQ(probe_.ForcedFormat(), "wav");
}

TEST_F(ProbeTest, BadInputFailsWithTheFileNameAndAReason) {
    test::TempDir bad("sonorix-bad");
    test::write_file(bad / "empty.wav", "");
    test::write_file(bad / "notes.mp3", "This is a shopping list, not a song.\nMilk\nBread\n");
    std::ifstream in(file("song.mp3"), std::ios::binary);
    std::string head(200, '\0');
    in.read(head.data(), 200);
    test::write_file(bad / "cut.mp3", head);
    fs::create_directory(bad / "folder.mp3");
    const fs::path cases[] = {bad / "missing.mp3", bad / "folder.mp3", bad / "empty.wav", bad / "notes.mp3",
                              bad / "cut.mp3"};
    for (const auto& path : cases) {
        SCOPED_TRACE(path.string());
        EXPECT_FALSE(probe_.LoadFile(path.string()));
        const std::string& msg = probe_.LastErrorMessage();
        EXPECT_EQ(msg.rfind(path.string() + ": ", 0), 0u) << msg;
        EXPECT_GT(msg.size(), path.string().size() + 2);
        EXPECT_EQ(probe_.StreamCount, -1);
        EXPECT_EQ(probe_.FormatContext(), nullptr);
    }
}

TEST_F(ProbeTest, HalfAnMp3StillOpensAndUnusualNamesWork) {
    test::TempDir odd("sonorix-odd");
    const auto size = fs::file_size(file("song.mp3"));
    std::ifstream in(file("song.mp3"), std::ios::binary);
    std::string half(size / 2, '\0');
    in.read(half.data(), static_cast<std::streamsize>(half.size()));
    const fs::path name = odd / "Übung 1 – «Ton» ñ.mp3";
    test::write_file(name, half);
    ASSERT_TRUE(probe_.LoadFile(name.string())) << probe_.LastErrorMessage();
    EXPECT_EQ(probe_.AudioStreamCount, 1);
    EXPECT_NE(probe_.GetInfoText().find("File Name: " + name.string()), std::string::npos);
}

TEST_F(ProbeTest, AttachedContextIsDescribedNotOwnedAndAttachingTwiceDoesNothing) {
    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(avformat_open_input(&ctx, file("tone.wav").c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(ctx, nullptr), 0);
    probe_.AttachInput(ctx);
    EXPECT_EQ(probe_.AudioStreamCount, 1);
    probe_.FileSize = 123;
    probe_.AttachInput(ctx);
    EXPECT_EQ(probe_.FileSize, 123) << "the second attach gathers nothing";

    // A duration the libraries do not know.
    ctx->duration = AV_NOPTS_VALUE;
    TFileStreamInfo fi;
    probe_.GetFileInfo(fi);
    EXPECT_EQ(fi.Duration, -1);
    EXPECT_NE(probe_.GetInfoText().find("\r\nDuration: N/A"), std::string::npos);

    // Tags, with a line feed, a carriage return and control characters.
    av_dict_set(&ctx->metadata, "title", "Line one\nLine\rtwo\b\v\f", 0);
    av_dict_set(&ctx->metadata, "language", "eng", 0);
    const std::string text = probe_.GetInfoText();
    EXPECT_NE(text.find("\r\nMetadata:\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n  title           : Line one\r\n                  : Line two\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("language"), std::string::npos);

    probe_.CloseFile();  // forgets, does not close
    EXPECT_EQ(ctx->nb_streams, 1u);
    avformat_close_input(&ctx);
}

// A loopback listener that takes connections and never sends a byte.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 4) != 0) return;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(ProbeTest, AReadThatBlocksPastTheTimeoutIsAborted) {
    SilentServer server;
    probe_.ReadTimeout = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(probe_.LoadFile(server.url()));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_NE(
        std::find(lines_.begin(), lines_.end(), std::make_pair(llInfo, std::string("connecting/reading timeout"))),
        lines_.end());
    EXPECT_EQ(probe_.LastErrorMessage().rfind(server.url() + ": ", 0), 0u) << probe_.LastErrorMessage();
}

TEST_F(ProbeTest, InterruptCancelsARead) {
    SilentServer server;
    probe_.ReadTimeout = 60000;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        probe_.Interrupt();
    });
    EXPECT_FALSE(probe_.LoadFile(server.url()));
    canceller.join();
    MainThreadQueue::Instance().Drain();
    EXPECT_NE(
        std::find(lines_.begin(), lines_.end(), std::make_pair(llInfo, std::string("connecting/reading canceled"))),
        lines_.end());
}

TEST(ProbeText, SizesDurationsAndDescriptions) {
    EXPECT_EQ(size_text(0), "0 Byte");
    EXPECT_EQ(size_text(1024), "1024 Byte");
    EXPECT_EQ(size_text(1025), "1.00 KB");
    EXPECT_EQ(size_text(1048576), "1024.00 KB");
    EXPECT_EQ(size_text(1048577), "1.00 MB");
    EXPECT_EQ(size_text(1073741825), "1.00 GB");
    EXPECT_EQ(duration_form(3599996000), "01:00:00.001");
    EXPECT_EQ(duration_form(0), "00:00:00.005");
    EXPECT_EQ(duration_form(36000000000), "10:00:00.005");
    EXPECT_EQ(rate_text(29.97, "fps"), ", 29.97 fps");
    EXPECT_EQ(rate_text(25, "fps"), ", 25 fps");
    EXPECT_EQ(rate_text(90000, "tbn"), ", 90k tbn");
    EXPECT_EQ(rate_text(12800, "tbn"), ", 12800 tbn");
}

TEST(ProbeLoader, LoadFileBeforeTheLibrariesAreLoadedRaises) {
    TFFLoader::Instance().Unload(kEncoderLibraries);
    TFFDecoder probe;
    try {
        probe.LoadFile("/nonexistent.wav");
        ADD_FAILURE() << "expected an exception";
    } catch (const EEngineError& e) {
        EXPECT_STREQ(e.what(), "Library avcodec not loaded.");
    }
    EXPECT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
}

}  // namespace
