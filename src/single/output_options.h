// Codec, format, sample-rate, channel, frame-rate and frame-size options for
// a target file, chosen from its extension and the source the probe holds.
#pragma once

#include <string>

namespace sonorix {

class TCustomDecoder;

// What the rules read of the source.
struct SourceFacts {
    std::string info;  // the probe's description, lower-cased
    int frame_rate_num = 0;
    int frame_rate_den = 1;
    int width = -1;
    int height = -1;
    int sample_rate = -1;
    int channels = -1;
};

// Reads the facts from a probe that has the source open (first video and
// first audio stream).
SourceFacts source_facts(TCustomDecoder& probe);

// Shortest general decimal form, at most 15 significant digits, "." as the
// separator in every locale: 29.97, 25, 1.5.
std::string real_text(double value);

std::string ffcodec(const std::string& target_file, const SourceFacts& source);
std::string ffcodec(const std::string& target_file, TCustomDecoder& probe);

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        const SourceFacts& source);
std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        TCustomDecoder& probe);

}  // namespace sonorix
