// The option-text splitter and the locale-free readers.
#include <gtest/gtest.h>

#include "transcoder/FFmpegOpt.h"

namespace sonorix {
namespace {

using Args = std::vector<std::string>;

struct SplitCase {
    const char* text;
    Args args;
};

TEST(SplitOptionText, QuotingRules) {
    const SplitCase cases[] = {
        {R"(-af "volumedetect" -f null)", {"-af", "volumedetect", "-f", "null"}},
        {" \t -y  \t-c:v copy ", {"-y", "-c:v", "copy"}},
        {R"(-metadata "title=a b")", {"-metadata", "title=a b"}},
        {R"(-af "volume=1.5,aformat=\"x y\"")", {"-af", R"(volume=1.5,aformat="x y")"}},
        {R"(a\"b)", {R"(a"b)"}},        // odd backslashes: literal quote
        {R"(a\\"b c")", {R"(a\b c)"}},  // even: half of them, quote toggles
        {R"(a\\\"b)", {R"(a\"b)"}},
        {R"(C:\dir\file.mp3)", {R"(C:\dir\file.mp3)"}},  // no quote follows: kept
        {R"(-f "")", {"-f", ""}},
        {R"("")", {""}},
        {R"(ab""cd)", {"abcd"}},  // a pair only ends and restarts quoting
        {R"(-af "unterminated text)", {"-af", "unterminated text"}},
        {"\"", {""}},
        {"\\", {"\\"}},
        {"", {}},
        {" \t ", {}},
        {"a\nb", {"a\nb"}},  // only blanks and tabs separate
        {"\xff\xfe -f \xc3", {"\xff\xfe", "-f", "\xc3"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(split_option_text(c.text), c.args) << "text: " << c.text;
    }
}

TEST(SplitOptionText, ManyArguments) {
    std::string text;
    for (int i = 0; i < 10000; ++i) text += " -y";
    EXPECT_EQ(split_option_text(text).size(), 10000u);
}

TEST(ReadNumbers, WholeTextInCLocaleSyntax) {
    int i = 0;
    EXPECT_TRUE(read_int("44100", i));
    EXPECT_EQ(i, 44100);
    EXPECT_TRUE(read_int("-1", i));
    EXPECT_EQ(i, -1);
    EXPECT_TRUE(read_int("+2", i));
    EXPECT_EQ(i, 2);
    for (const char* bad : {"", "1.5", "12x", " 1", "0x10", "99999999999", "+-1", "+"}) {
        EXPECT_FALSE(read_int(bad, i)) << bad;
    }
    int64_t l = 0;
    EXPECT_TRUE(read_int64("9223372036854775807", l));
    EXPECT_EQ(l, INT64_MAX);
    EXPECT_FALSE(read_int64("9223372036854775808", l));

    double d = 0;
    EXPECT_TRUE(read_double("1.5", d));
    EXPECT_DOUBLE_EQ(d, 1.5);
    EXPECT_TRUE(read_double("-.25", d));
    EXPECT_DOUBLE_EQ(d, -0.25);
    EXPECT_FALSE(read_double("1,5", d));
    EXPECT_FALSE(read_double("1e999", d));
    float f = 0;
    EXPECT_TRUE(read_float("0.7", f));
    EXPECT_FLOAT_EQ(f, 0.7f);
    EXPECT_FALSE(read_float("1e50", f));
}

TEST(ParseLogLevel, NamesAndNumbers) {
    const std::pair<const char*, TLogLevel> cases[] = {
        {"quiet", llQuiet}, {"panic", llPanic},     {"fatal", llFatal}, {"error", llError},  {"warning", llWarning},
        {"info", llInfo},   {"verbose", llVerbose}, {"debug", llDebug}, {"-9", llQuiet},     {"-8", llQuiet},
        {"-1", llPanic},    {"0", llPanic},         {"7", llPanic},     {"8", llFatal},      {"16", llError},
        {"32", llInfo},     {"47", llVerbose},      {"48", llDebug},    {"100000", llDebug},
    };
    for (const auto& [text, level] : cases) {
        ASSERT_TRUE(parse_log_level(text).has_value()) << text;
        EXPECT_EQ(*parse_log_level(text), level) << text;
    }
    for (const char* bad : {"", "Quiet", "loud", "1.5", "99999999999"}) {
        EXPECT_FALSE(parse_log_level(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace sonorix
