// The decoded samples of an audio stream: what a lossless gain change is
// checked against (the target's samples are the source's times the gain).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct AVFrame;

namespace sonorix::test {

enum class StreamKind { Audio, Video };

// Decodes the nth stream of the kind (the named decoder, or the default when
// empty) and hands each frame to take, in order; false when the file, the
// stream or its decoder cannot be opened.
bool for_each_frame(const std::filesystem::path& path, StreamKind kind, int nth, const std::string& decoder,
                    const std::function<void(const AVFrame*)>& take);

// Every sample of the nth audio stream, channels interleaved, as float,
// decoded by the named decoder ("opus": the libraries' own, which applies
// the header's output gain; empty: the default). Empty when it fails.
std::vector<float> decoded_samples(const std::filesystem::path& path, int nth = 0, const std::string& decoder = {});

// The largest difference between target[i] and source[i] * factor, over
// the shorter length; infinity when the lengths differ by more than slack.
double largest_error(const std::vector<float>& source, const std::vector<float>& target, double factor,
                     size_t slack = 0);

}  // namespace sonorix::test
