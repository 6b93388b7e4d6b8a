// The option layer of the transcoder core: the option table, the per-file
// option context, the option-text splitter and parser, the routing of
// unknown names to the libraries' own options, and the core's error raising.
//
// The parser is a member of the transcoder (its options), or stands alone in
// tests; it logs and raises in its owner's name.
//
// Threads: options are parsed on the thread that adds files to a task (the
// main thread), or on the worker of a task whose set-up is deferred; the
// table is built once, under the static's guard, and only read after; each
// core object has its own groups and option-error text.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/FFBase.h"
#include "base/FFLog.h"
#include "base/libav.h"
#include "base/libav_handles.h"
#include "transcoder/FFmpegErrors.h"

namespace sonorix {

class TCustomFFmpegOpt;
struct TOptionsContext;
struct TOptionDef;

// Row flags. Values are part of the option table's contract.
inline constexpr uint32_t ofHasArg = 0x1;
inline constexpr uint32_t ofBool = 0x2;
inline constexpr uint32_t ofExpert = 0x4;
inline constexpr uint32_t ofString = 0x8;
inline constexpr uint32_t ofVideo = 0x10;
inline constexpr uint32_t ofAudio = 0x20;
inline constexpr uint32_t ofInt = 0x80;
inline constexpr uint32_t ofFloat = 0x100;
inline constexpr uint32_t ofSubtitle = 0x200;
inline constexpr uint32_t ofInt64 = 0x400;
inline constexpr uint32_t ofInfo = 0x800;
inline constexpr uint32_t ofData = 0x1000;
inline constexpr uint32_t ofPerFile = 0x2000;
inline constexpr uint32_t ofOffset = 0x4000;
inline constexpr uint32_t ofSpec = 0x8000;
inline constexpr uint32_t ofTime = 0x10000;
inline constexpr uint32_t ofDouble = 0x20000;

// One value of a per-stream option, with the stream specifier it was given
// with (empty: every stream).
template <class T>
struct TSpecifierOpt {
    std::string specifier;
    T u{};
};

template <class T>
using TSpecifierList = std::vector<TSpecifierOpt<T>>;

struct TStreamMap {
    bool disabled = false;
    int file_index = -1;
    int stream_index = -1;
    int sync_file_index = -1;
    int sync_stream_index = -1;
    std::string linklabel;  // set only for maps naming a filter-graph output
};

// One -map_channel entry; -1 in the input fields mutes the output channel.
struct AudioChannelMap {
    int file_index = -1;
    int stream_index = -1;
    int channel_index = -1;
    int ofile_index = -1;
    int ostream_index = -1;
};

// One option collected by the group parse: the row, the name as typed and
// the argument.
struct GroupOption {
    const TOptionDef* opt = nullptr;
    std::string key;
    std::string val;
};

struct TOptionGroup {
    std::vector<GroupOption> opts;
    // Names no row knows, routed to the libraries' option systems.
    Dictionary codec_opts;
    Dictionary format_opts;
    Dictionary sws_dict;
    Dictionary swr_opts;

    void clear();
};

// The options of one input or output file while it is being opened.
struct TOptionsContext {
    TOptionGroup* g = nullptr;

    int64_t start_time = 0;  // microseconds
    std::string format;
    TSpecifierList<std::string> codec_names;
    TSpecifierList<int> audio_channels;
    TSpecifierList<int> audio_sample_rate;
    TSpecifierList<std::string> frame_rates;
    TSpecifierList<std::string> frame_sizes;
    TSpecifierList<std::string> frame_pix_fmts;
    int64_t input_ts_offset = 0;
    int rate_emu = 0;
    TSpecifierList<double> ts_scale;
    TSpecifierList<std::string> dump_attachment;
    std::vector<TStreamMap> stream_maps;
    std::vector<AudioChannelMap> audio_channel_maps;
    int metadata_global_manual = 0;
    int metadata_streams_manual = 0;
    int metadata_chapters_manual = 0;
    std::vector<std::string> attachments;
    int chapters_input_file = INT_MAX;  // automatic
    int64_t recording_time = INT64_MAX;
    int64_t stop_time = INT64_MAX;
    int64_t limit_filesize = INT64_MAX;
    float mux_preload = 0.0f;
    float mux_max_delay = 0.7f;
    int shortest = 0;
    int video_disable = 0;
    int audio_disable = 0;
    int subtitle_disable = 0;
    int data_disable = 0;
    std::vector<int> streamid_map;  // indexed by output stream index
    TSpecifierList<std::string> metadata;
    TSpecifierList<int64_t> max_frames;
    TSpecifierList<std::string> bitstream_filters;
    TSpecifierList<std::string> codec_tags;
    TSpecifierList<std::string> dispositions;
    TSpecifierList<std::string> sample_fmts;
    TSpecifierList<double> qscale;
    TSpecifierList<std::string> forced_key_frames;
    TSpecifierList<int> force_fps;
    TSpecifierList<std::string> frame_aspect_ratios;
    TSpecifierList<std::string> rc_overrides;
    TSpecifierList<std::string> intra_matrices;
    TSpecifierList<std::string> inter_matrices;
    TSpecifierList<int> top_field_first;
    TSpecifierList<std::string> metadata_map;
    TSpecifierList<int> copy_initial_nonkeyframes;
    TSpecifierList<int> copy_prior_start;
    TSpecifierList<std::string> filters;
    TSpecifierList<int> reinit_filters;
    TSpecifierList<int> fix_sub_duration;
    TSpecifierList<int> pass;
    TSpecifierList<std::string> passlogfiles;
    TSpecifierList<int> guess_layout_max;
};

using THandler = int (TCustomFFmpegOpt::*)(TOptionsContext* o, const std::string& opt, const std::string& arg);

// A row that stands for another option: its argument is parsed as the
// argument of target ("filter:a" for -af), whatever specifier was typed.
struct TOptionAlias {
    std::string_view target;
};

// Where a row's value goes: a core-wide setting, a field of the file's
// context, a per-stream list of that context, a handler, or the option an
// alias row stands for.
using TOptionDest =
    std::variant<std::monostate, int TCustomFFmpegOpt::*, float TCustomFFmpegOpt::*, int TOptionsContext::*,
                 int64_t TOptionsContext::*, float TOptionsContext::*, double TOptionsContext::*,
                 std::string TOptionsContext::*, TSpecifierList<int> TOptionsContext::*,
                 TSpecifierList<int64_t> TOptionsContext::*, TSpecifierList<double> TOptionsContext::*,
                 TSpecifierList<std::string> TOptionsContext::*, THandler, TOptionAlias>;

struct TOptionDef {
    std::string_view name;  // empty in the end row
    uint32_t flags = 0;
    TOptionDest dest;
    std::string_view help;
    std::string_view argname;
};

// Closes an input context (also one that was only allocated), with the I/O
// context the core opened for it (FFmpegFiles.cpp).
struct InputContextCloser {
    void operator()(AVFormatContext* ctx) const;
};

// One opened input file of the task.
struct TInputFile {
    std::unique_ptr<AVFormatContext, InputContextCloser> ctx;
    int ist_index = 0;  // first stream in the core's input-stream list
    int nb_streams = 0;
    int64_t ts_offset = 0;
    int rate_emu = 0;
    bool eof_reached = false;
};

// Takes ownership of an opened (or, in tests, allocated) input context and
// appends it to files.
TInputFile& add_input_file(std::vector<TInputFile>& files, AVFormatContext* ctx);

// Option texts split by the command-line quoting rules: blanks and tabs
// separate, double quotes group, 2n backslashes before a quote give n and
// toggle quoting, 2n+1 give n and a literal quote. unterminated, when
// given, tells whether the text ended inside a quote.
std::vector<std::string> split_option_text(std::string_view text, bool* unterminated = nullptr);

// Number readers for option texts: "." is the decimal separator in every
// locale; the whole text must be the number.
bool read_int(std::string_view text, int& out);
bool read_int64(std::string_view text, int64_t& out);
bool read_float(std::string_view text, float& out);
bool read_double(std::string_view text, double& out);

// The library log level named by a -loglevel argument, as a logger level.
std::optional<TLogLevel> parse_log_level(std::string_view text);

class TCustomFFmpegOpt : public TObject {
public:
    // owner: the object whose log lines and errors these are (this parser
    // when null); inputs: the files -map resolves against (none when null);
    // write_interrupt: handed to outputs the options open (-progress).
    explicit TCustomFFmpegOpt(TObject* owner = nullptr, const std::vector<TInputFile>* inputs = nullptr,
                              AVIOInterruptCB write_interrupt = {nullptr, nullptr});
    ~TCustomFFmpegOpt() override;
    TCustomFFmpegOpt(const TCustomFFmpegOpt&) = delete;
    TCustomFFmpegOpt& operator=(const TCustomFFmpegOpt&) = delete;

    // The table, built on first use and shared by every parser of the
    // process (rows name settings as members, not addresses); read-only.
    static const std::vector<TOptionDef>& option_table();
    // Frees everything parsing left (option groups, routed library options,
    // the scaler's option check) of a task whose run ended and that parses
    // nothing any more; last_error stays.
    void release_parse_state();
    // The first row named like name up to its first ':'; null when none.
    const TOptionDef* find_option(std::string_view name) const;

    // Zeroes the context, gives it its defaults and points it at the file
    // group; release frees it and the file group.
    void init_options_context(TOptionsContext& o);
    void release_options_context(TOptionsContext& o);

    int ParseOptions(TOptionsContext& o, const std::string& options, const std::string& group_label,
                     const std::string& presets);
    int ParsePresets(TOptionsContext& o, const std::string& group_label, const std::string& presets);

    // One option by name, for alias handlers and presets: 1 when the row took
    // the argument, 0 when not, negative on failure.
    int parse_option(TOptionsContext* o, const std::string& opt, const std::optional<std::string>& arg);

    // A name no row knows, into the libraries' option dictionaries collected
    // for the file being parsed: 0, or AVERROR_OPTION_NOT_FOUND, or the
    // library's code for a value it refused.
    int route_library_option(const std::string& opt, const std::string& arg);

    // The value of the last entry whose specifier matches the stream.
    template <class T>
    std::optional<T> match_per_stream(const TSpecifierList<T>& list, AVFormatContext* s, AVStream* st);
    // 1 when specifier matches the stream, 0 when not; raises when the library
    // rejects the specifier.
    int check_stream_specifier(AVFormatContext* s, AVStream* st, const std::string& specifier);
    // The last entry whose specifier is exactly specifier ("v", "a", "s"), or null.
    static const std::string* exact_specifier(const TSpecifierList<std::string>& list, std::string_view specifier);
    // Raises "Unknown %s \"%s\"" / "Invalid %s type \"%s\"".
    const AVCodec* find_codec_or_die(const std::string& name, AVMediaType type, bool encoder);

    // After a library call took its options: the first one left gives
    // "Option %s not found.", raised in strict option mode, else only kept
    // as the last-error text.
    void check_options_consumed(const AVDictionary* left);

    // Both store the message as the last-error text, log it at llFatal and
    // raise FFmpegException.
    [[noreturn]] void raise_error(const std::string& message);
    [[noreturn]] void raise_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    const std::string& last_error() const { return last_error_; }
    void set_last_error(std::string text) { last_error_ = std::move(text); }
    // Details of the last parse failure (cleared by each ParseOptions).
    const std::string& option_error() const { return option_error_; }

    const TOptionGroup& global_group() const { return global_group_; }
    const TOptionGroup& file_group() const { return file_group_; }

    // Core-wide settings written by plain rows.
    float audio_drift_threshold = 0.1f;
    float dts_delta_threshold = 10.0f;
    float dts_error_threshold = 3600.0f * 30;
    int audio_volume = 256;
    int audio_sync_method = 0;
    int video_sync_method = -1;  // -1 auto, 0 passthrough, 1 cfr, 2 vfr, 255 drop
    int do_deinterlace = 0;
    int do_hex_dump = 0;
    int do_pkt_dump = 0;
    int copy_ts = 0;
    int copy_tb = -1;
    int exit_on_error = 0;
    int print_stats = -1;
    int qp_hist = 0;
    int frame_bits_per_raw_sample = 0;
    int intra_only = 0;
    int file_overwrite = 0;
    int no_file_overwrite = 0;
    int video_discard = 0;
    int intra_dc_precision = 8;
    int do_psnr = 0;
    int input_sync = 0;
    int video_hook_bits_pixel = 0;
    AVIOContext* progress_avio = nullptr;  // owned
    bool strict_options = true;

    std::vector<std::string> complex_filter_descriptions;

private:
    // Appends a detail line to the option-error text.
    void append_option_error(const std::string& message);
    const std::vector<TInputFile>& input_files() const;
    int parse_groups(TOptionsContext& o, const std::vector<std::string>& args);
    int apply_group(TOptionsContext* o, TOptionGroup& group, const std::string& label);
    int write_option(TOptionsContext* o, const TOptionDef& po, const std::string& opt, const std::string& arg);
    void prescan_log_level(const std::vector<std::string>& args);
    bool library_option_exists(const std::string& opt) const;
    int route_to_file(TOptionsContext& o, const std::string& opt, const std::string& arg);
    void move_library_options(TOptionGroup& into);
    // Logs message at level, appends it to the option-error text, returns code.
    int fail_option(TLogLevel level, const std::string& message, int code = AVERROR(EINVAL));
    int forward(TOptionsContext* o, const std::string& opt, const std::string& arg);

    // Handler rows.
    int opt_info(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_not_supported(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_accept(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_loglevel(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_max_alloc(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_cpuflags(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_map(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_map_channel(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_map_metadata(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_recording_timestamp(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_progress(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_vsync(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_qscale(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_profile(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_bitrate(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_filter_complex(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_attach(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_sameq(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_timecode(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_deinterlace(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_streamid(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_channel_layout(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_video_channel(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_video_standard(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_vhook(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_video_hook_bits_pixel(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_time_start(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_time_length(TOptionsContext* o, const std::string& opt, const std::string& arg);
    int opt_seconds(TOptionsContext* o, const std::string& opt, const std::string& arg, const char* target);

    static std::vector<TOptionDef> make_option_table();

    TObject* sender_;
    const std::vector<TInputFile>* inputs_;
    AVIOInterruptCB write_interrupt_;
    TOptionGroup global_group_;
    TOptionGroup file_group_;
    // Library options collected while one option text is parsed.
    Dictionary codec_opts_;
    Dictionary format_opts_;
    Dictionary sws_dict_;
    Dictionary swr_opts_;
    SwsContext* sws_opts_ = nullptr;  // scaler options set at once, to validate them
    std::string last_error_;
    std::string option_error_;
    // The name that gave "Option not found" in this parse, as typed.
    std::string missing_option_;
};

// Initialises a context on construction and releases it on destruction, so
// that a file that fails to open still frees its options.
class OptionsContextScope {
public:
    explicit OptionsContextScope(TCustomFFmpegOpt& core) : core_(core) { core_.init_options_context(ctx_); }
    // For an object that holds its parser (the transcoder).
    template <class Owner>
    explicit OptionsContextScope(Owner& owner) : OptionsContextScope(owner.options()) {}
    ~OptionsContextScope() { core_.release_options_context(ctx_); }
    OptionsContextScope(const OptionsContextScope&) = delete;
    OptionsContextScope& operator=(const OptionsContextScope&) = delete;

    TOptionsContext& operator*() { return ctx_; }
    TOptionsContext* operator->() { return &ctx_; }

private:
    TCustomFFmpegOpt& core_;
    TOptionsContext ctx_;
};

template <class T>
std::optional<T> TCustomFFmpegOpt::match_per_stream(const TSpecifierList<T>& list, AVFormatContext* s, AVStream* st) {
    const T* found = nullptr;
    for (const auto& entry : list) {
        if (check_stream_specifier(s, st, entry.specifier) > 0) found = &entry.u;
    }
    if (!found) return std::nullopt;
    return *found;
}

}  // namespace sonorix
