// The option text of a volume conversion, and the save dialog's choices of
// target formats for a source.
#pragma once

#include <string>
#include <vector>

#include "workflow/batch_rules.h"
#include "workflow/output_options.h"

namespace sonorix {

// ",volume=1.5" for 150 %.
std::string volume_change_filter(int percent);
// ",volume=3.5dB" for a measured headroom text of "3.5".
std::string normalize_filter(const std::string& max_volume_text);

// " -y", the codec options for target, the stream choices (" -map 0" when
// the automatic choice would lose a stream; where the container stays, the
// source's own audio codec and precision), then " -vf ..." and " -af ..."
// from the collected chains. Both pages build their conversions with it.
std::string conversion_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                               const BatchSourceBitRates& rates, const std::string& audio_filters);
std::string conversion_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                               const std::string& audio_filters);

// The same with a filter chain per audio track (" -filter:a:N ..." where they
// differ, " -af ..." where one chain serves all).
std::string conversion_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                               const std::vector<std::string>& track_filters);
std::string conversion_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                               const std::vector<std::string>& track_filters);

struct SaveChoices {
    std::string filter;             // "*.MP3|*.mp3|*.WAV|*.wav|..."
    std::string default_extension;  // without the dot
};

// The source's own format (or its stand-in) first, then every other target
// format of its kind.
SaveChoices save_choices(const std::string& source_file);

}  // namespace sonorix
