// Shared fixture of the option-layer tests: a core object, its log captured
// synchronously, and fake input files made of bare streams.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/FFLog.h"
#include "transcoder/FFmpegOpt.h"

namespace sonorix::test {

struct LogLine {
    TObject* sender;
    TLogLevel level;
    std::string text;
};

class OptionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // ParseOptions on a fresh context.
    int parse(const std::string& options, const std::string& presets = "", const std::string& label = "output file");
    // The core's own lines at level or more severe, as "Level: text".
    std::vector<std::string> core_lines(TLogLevel max_level = llDebug) const;
    bool has_line(TLogLevel level, const std::string& text) const;
    // An input whose streams have the types in kinds ('a', 'v', 's', 'd');
    // audio streams get `channels` channels.
    void add_fake_input(const std::string& kinds, int channels = 2);

    std::vector<TInputFile> inputs;  // what -map resolves against
    TCustomFFmpegOpt core{nullptr, &inputs};
    TOptionsContext ctx;
    std::unique_ptr<TFFLogger> logger;
    std::vector<LogLine> lines;
};

// The last entry of a per-stream list as (specifier, value text).
template <class T>
std::pair<std::string, std::string> last_entry(const TSpecifierList<T>& list) {
    if (list.empty()) return {"<none>", ""};
    const auto& e = list.back();
    if constexpr (std::is_same_v<T, std::string>) {
        return {e.specifier, e.u};
    } else {
        std::ostringstream out;
        out << e.u;
        return {e.specifier, out.str()};
    }
}

}  // namespace sonorix::test
