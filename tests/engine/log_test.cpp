#include "base/FFLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/FFLoad.h"
#include "base/MainThreadQueue.h"
#include "base/libav.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace std::chrono_literals;

namespace {

// An object the libraries can log for, with an optional parent context.
struct LogObject {
    const AVClass* cls;
    LogObject* parent = nullptr;
};

AVClass make_class(const char* name, int parent_offset) {
    AVClass c{};
    c.class_name = name;
    c.item_name = av_default_item_name;
    c.version = LIBAVUTIL_VERSION_INT;
    c.parent_log_context_offset = parent_offset;
    return c;
}
const AVClass kChildClass = make_class("child", offsetof(LogObject, parent));
const AVClass kParentClass = make_class("parent", 0);

struct Line {
    TObject* sender;
    int thread;
    TLogLevel level;
    std::string text;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        logger_ = std::make_unique<TFFLogger>();
        logger_->SetLogLevel(llInfo);
        logger_->SetOnLog([this](TObject* s, int tid, TLogLevel l, const std::string& m) {
            lines_.push_back({s, tid, l, m});
        });
    }
    void TearDown() override {
        MainThreadQueue::Instance().Drain();
        logger_.reset();
    }
    std::vector<std::string> texts() {
        MainThreadQueue::Instance().Drain();
        std::vector<std::string> out;
        for (const auto& l : lines_) out.push_back(l.text);
        return out;
    }

    std::unique_ptr<TFFLogger> logger_;
    std::vector<Line> lines_;
};

TEST_F(LogTest, PiecesOfOneLineArriveAsOneLineWithTheFirstPiecesPrefix) {
    LogObject parent{&kParentClass};
    LogObject child{&kChildClass, &parent};
    av_log(&child, AV_LOG_INFO, "first half, ");
    av_log(&parent, AV_LOG_INFO, "second half\n");
    std::ostringstream want;
    want << "[parent @ " << static_cast<void*>(&parent) << "] [child @ " << static_cast<void*>(&child)
         << "] first half, second half";
    ASSERT_EQ(texts(), std::vector<std::string>{want.str()});
    EXPECT_EQ(lines_[0].sender, logger_.get()) << "a library line's sender is the logger";
    EXPECT_EQ(lines_[0].level, llInfo);
}

TEST_F(LogTest, RepeatedLinesAreCountedAndReportedBeforeTheNextLine) {
    for (int i = 0; i < 5; ++i) av_log(nullptr, AV_LOG_WARNING, "five times\n");
    av_log(nullptr, AV_LOG_WARNING, "then another\n");
    EXPECT_EQ(texts(), (std::vector<std::string>{"five times", "    Last message repeated 4 times", "then another"}));
}

TEST_F(LogTest, ALineWrittenTwiceIsDroppedOnceWithoutARepeatLine) {
    av_log(nullptr, AV_LOG_WARNING, "twice\n");
    av_log(nullptr, AV_LOG_WARNING, "twice\n");
    av_log(nullptr, AV_LOG_WARNING, "after twice\n");
    EXPECT_EQ(texts(), (std::vector<std::string>{"twice", "after twice"}));
}

TEST_F(LogTest, InactiveLoggerDeliversNothingAndKeepsNoPartialLine) {
    logger_->SetActive(false);
    av_log(nullptr, AV_LOG_INFO, "while inactive ");
    log_message(nullptr, llQuiet, "engine while inactive");
    logger_->SetActive(true);
    av_log(nullptr, AV_LOG_INFO, "active again\n");
    EXPECT_EQ(texts(), std::vector<std::string>{"active again"});
}

// A silenced thread (the list's probe) posts nothing; other threads and the
// same thread afterwards still do.
TEST_F(LogTest, ASilencedThreadsLinesAreDropped) {
    std::thread([] {
        const ThreadLogSilence silence;
        av_log(nullptr, AV_LOG_ERROR, "library line of a silenced thread\n");
        log_message(nullptr, llQuiet, "engine line of a silenced thread");
        log_format(nullptr, llQuiet, "%s", "formatted line of a silenced thread");
    }).join();
    std::thread([] { log_message(nullptr, llQuiet, "another thread"); }).join();
    {
        const ThreadLogSilence silence;
        log_message(nullptr, llQuiet, "silenced main thread");
    }
    log_message(nullptr, llQuiet, "main thread after");
    auto got = texts();  // the worker's line comes through the queue, after
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"another thread", "main thread after"}));
}

TEST_F(LogTest, WarningLevelDropsInfoButQuietEngineErrorsStillArrive) {
    logger_->SetLogLevel(llWarning);
    EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING) << "the libraries' own level follows";
    av_log(nullptr, AV_LOG_INFO, "library info\n");
    av_log(nullptr, AV_LOG_WARNING, "library warning\n");
    log_message(nullptr, llInfo, "engine info");
    log_message(nullptr, llQuiet, "engine must be seen");
    EXPECT_EQ(texts(), (std::vector<std::string>{"library warning", "engine must be seen"}));
}

TEST_F(LogTest, EngineMessagesCarryTheirSenderAndFormat) {
    TObject sender;
    log_format(&sender, llError, "code %d: %s", -22, "Invalid argument");
    ASSERT_EQ(texts(), std::vector<std::string>{"code -22: Invalid argument"});
    EXPECT_EQ(lines_[0].sender, &sender);
    EXPECT_EQ(lines_[0].level, llError);
    EXPECT_EQ(lines_[0].thread, CurrentThreadId());
}

TEST_F(LogTest, LongMessagesAndNullStringsAreFormattedWhole) {
    const std::string big(10000, 'x');
    av_log(nullptr, AV_LOG_INFO, "%s\n", big.c_str());
    const char* volatile null_text = nullptr;
    av_log(nullptr, AV_LOG_INFO, "%s", null_text);
    av_log(nullptr, AV_LOG_INFO, "after null\n");
    EXPECT_EQ(texts(), (std::vector<std::string>{big, "after null"}));
}

TEST_F(LogTest, PartialLinesOfDifferentThreadsNeverMix) {
    av_log(nullptr, AV_LOG_INFO, "main begins ");
    std::thread([] { av_log(nullptr, AV_LOG_INFO, "worker line\n"); }).join();
    av_log(nullptr, AV_LOG_INFO, "main ends\n");
    // The main thread's line is delivered directly, the worker's through the queue.
    EXPECT_EQ(texts(), (std::vector<std::string>{"main begins main ends", "worker line"}));
}

TEST_F(LogTest, WorkerLinesRunOnTheMainThreadInOrderWithoutBlockingTheWorker) {
    const int main_tid = CurrentThreadId();
    int worker_tid = 0;
    std::vector<int> handler_threads;
    logger_->SetOnLog([&](TObject*, int tid, TLogLevel, const std::string& m) {
        handler_threads.push_back(CurrentThreadId());
        lines_.push_back({nullptr, tid, llInfo, m});
    });
    // The worker finishes although nobody drains meanwhile: posting never waits.
    std::thread worker([&] {
        worker_tid = CurrentThreadId();
        for (int i = 0; i < 200; ++i) av_log(nullptr, AV_LOG_INFO, "line %d\n", i);
    });
    worker.join();
    const auto got = texts();
    ASSERT_EQ(got.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], "line " + std::to_string(i));
    for (int t : handler_threads) EXPECT_EQ(t, main_tid);
    EXPECT_EQ(lines_[0].thread, worker_tid) << "the line names the thread that logged it";
}

TEST_F(LogTest, LogFileLinesHaveTimeThreadLevelAndCrLf) {
    test::TempDir dir;
    const auto path = dir / "engine.log";
    test::write_file(path, "older line\r\n");
    logger_->SetOnLog(nullptr);
    EXPECT_TRUE(logger_->Muted());
    logger_->SetLogFile(path.string());
    logger_->SetLogToFile(true);
    EXPECT_FALSE(logger_->Muted()) << "a log file is somewhere to deliver to";
    log_message(nullptr, llWarning, "to the file");
    logger_->SetLogToFile(false);  // closes the stream
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_match(all, std::regex("older line\r\n\\d\\d:\\d\\d:\\d\\d \\d{3} \\[[0-9a-f]{8}\\] "
                                                 "Warning: to the file\r\n")))
        << all;
}

TEST_F(LogTest, OnlyOneLoggerPerProcess) {
    EXPECT_THROW(
        {
            try {
                TFFLogger second;
            } catch (const EEngineError& e) {
                EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
                throw;
            }
        },
        EEngineError);
    EXPECT_EQ(&TFFLogger::Current(), logger_.get());
}

TEST(LogLevels, MapBothWays) {
    const std::pair<int, TLogLevel> table[] = {{-8, llQuiet},   {-1, llQuiet},   {0, llPanic}, {8, llFatal},
                                               {16, llError},   {24, llWarning}, {32, llInfo}, {40, llVerbose},
                                               {47, llVerbose}, {48, llDebug},   {56, llDebug}};
    for (const auto& [lib, level] : table) EXPECT_EQ(LibraryLevelToLogLevel(lib), level) << lib;
    EXPECT_EQ(LogLevelToLibraryLevel(llQuiet), -8);
    EXPECT_EQ(LogLevelToLibraryLevel(llInfo), 32);
    EXPECT_EQ(LogLevelToLibraryLevel(llDebug), 48);
}

TEST(LogPrivate, WithoutALoggerTheEngineLogsIntoAMutedPrivateOne) {
    log_message(nullptr, llQuiet, "nobody listens");
    EXPECT_TRUE(TFFLogger::Current().Muted());
    TFFLogger real;  // replaces the private one
    EXPECT_EQ(&TFFLogger::Current(), &real);
}

}  // namespace
