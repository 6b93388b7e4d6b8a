// The transcoder core's set-up: input files and streams, the output file and
// its streams, the filter graphs of re-encoded streams, and the start of
// transcoding (stream-copy parameters, encoders, decoders, headers).
//
// Threads: inputs and the output are opened on the thread that adds files to
// the task; transcode_init and graph configuration run on the task's worker.
// The interrupt call-backs run on whichever thread is inside a library call
// and read only the atomic stamps and the stop flag.
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/FFBase.h"
#include "base/libav_handles.h"
#include "transcoder/FFmpegOpt.h"

namespace sonorix {

struct TFilterGraph;
struct TInputFilter;
struct TOutputFilter;

// Allocations the loop cannot go on without: they throw on failure.
FramePtr new_frame();
PacketPtr new_packet();

// Ends the texts of fatal errors that the log explains further.
inline constexpr const char* kSeeLogText =
    ". Please check error log message(reported by FFLogger) to find out more detail information.";

struct TInputStream {
    int file_index = 0;
    AVStream* st = nullptr;
    bool discard = true;  // not used by any output
    int decoding_needed = 0;
    const AVCodec* dec = nullptr;
    CodecContextPtr dec_ctx;  // parameters from the stream; opened by transcode_init
    Dictionary decoder_opts;
    double ts_scale = 1.0;
    AVRational framerate{0, 0};  // forced input rate (-r on the input)
    int top_field_first = -1;
    int reinit_filters = -1;
    int guess_layout_max = INT_MAX;
    // Last seen format, for the loop's reconfiguration test.
    int resample_sample_fmt = AV_SAMPLE_FMT_NONE;
    int resample_sample_rate = 0;
    int resample_channels = 0;
    AVChannelLayout resample_ch_layout{};
    int resample_width = 0;
    int resample_height = 0;
    int resample_pix_fmt = AV_PIX_FMT_NONE;
    int fix_sub_duration = 0;
    int64_t next_dts = AV_NOPTS_VALUE;  // microseconds
    int64_t dts = AV_NOPTS_VALUE;
    int64_t next_pts = AV_NOPTS_VALUE;
    int64_t pts = AV_NOPTS_VALUE;
    bool start_flag = false;
    bool wrap_correction_done = false;
    int64_t start_wallclock = 0;  // -re: when reading began
    bool decoder_open = false;
    std::vector<TInputFilter*> filters;  // owned by their graphs

    TInputStream() = default;
    TInputStream(const TInputStream&) = delete;
    TInputStream& operator=(const TInputStream&) = delete;
    ~TInputStream() { av_channel_layout_uninit(&resample_ch_layout); }
};

struct TOutputFile {
    OutputFilePtr ctx;
    Dictionary opts;  // muxer options
    int ost_index = 0;
    int64_t recording_time = INT64_MAX;  // microseconds
    int64_t start_time = 0;
    int64_t limit_filesize = INT64_MAX;
    int shortest = 0;
    std::string target_name;  // the name the user gave, as every text shows it
    std::string temp_name;    // what is written until the task completes; empty when written directly
    std::string final_name;   // the path the temporary file is renamed onto
    bool no_replace = false;  // -n: an existing file under final_name stays
};

struct TOutputStream {
    int file_index = 0;
    int index = 0;          // within the file
    int source_index = -1;  // input stream, -1 for graph outputs and attachments
    AVStream* st = nullptr;
    int sync_ist = -1;
    const AVCodec* enc = nullptr;
    CodecContextPtr enc_ctx;
    bool encoding_needed = false;
    bool stream_copy = false;
    bool attachment = false;
    bool encoder_open = false;
    bool codec_from_muxer = false;  // no codec named by the options: the muxer's default
    // A null output's stream whose codec the options did not name: nobody
    // reads its packets, so its frames are counted as the encoder would have
    // packed them, not encoded, and nothing is written.
    bool discard_packets = false;
    int64_t max_frames = INT64_MAX;
    int copy_prior_start = -1;
    int copy_initial_nonkeyframes = 0;
    AVRational frame_rate{0, 0};
    int force_fps = 0;
    int top_field_first = -1;
    double frame_aspect_ratio = 0;
    std::string forced_keyframes;
    std::vector<int64_t> forced_kf_pts;  // encoder time base, sorted
    size_t forced_kf_index = 0;
    std::unique_ptr<AVExpr, ExprDeleter> forced_kf_expr;  // "expr:" form, evaluated per frame
    double forced_kf_values[5] = {0, 0, NAN, NAN, NAN};   // n, n_forced, prev_forced_n, prev_forced_t, t
    std::string avfilter;
    bool keep_pix_fmt = false;
    int sws_flags = SWS_BICUBIC;
    Dictionary encoder_opts;
    Dictionary swr_opts;
    Dictionary resample_opts;
    std::vector<int> audio_channels_map;
    std::vector<const AVBitStreamFilter*> bitstream_filters;  // chained by the loop
    std::vector<std::string> bitstream_filter_args;           // one per filter, may be empty
    std::vector<BitStreamFilterPtr> bsf_ctxs;                 // opened at the first packet
    bool bsf_opened = false;
    std::string logfile_prefix;       // -passlogfile
    FILE* logfile = nullptr;          // pass 1: the encoder's statistics go here (written by the loop)
    TOutputFilter* filter = nullptr;  // owned by its graph
    // The loop's state.
    bool finished = false;
    bool unavailable = false;
    int64_t frame_number = 0;
    int64_t data_size = 0;
    int64_t last_mux_dts = AV_NOPTS_VALUE;
    int64_t last_mux_end = AV_NOPTS_VALUE;  // where that packet ends: the final report's position
    int64_t first_pts = AV_NOPTS_VALUE;
    int64_t sync_opts = 0;  // next frame position in the encoder time base
    float quality = -1;     // of the last coded packet; -1 when the encoder gives none

    TOutputStream() = default;
    TOutputStream(const TOutputStream&) = delete;
    TOutputStream& operator=(const TOutputStream&) = delete;
    ~TOutputStream();
};

struct TInputFilter {
    AVFilterContext* filter = nullptr;  // the buffer source
    int ist = -1;
    TFilterGraph* graph = nullptr;
    std::string name;
};

struct TOutputFilter {
    AVFilterContext* filter = nullptr;  // the buffer sink
    int ost = -1;                       // -1 until bound
    TFilterGraph* graph = nullptr;
    std::string name;  // the pad's label in a complex graph
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
};

struct TFilterGraph {
    int index = 0;
    FilterGraphPtr graph;
    std::string graph_desc;  // empty for a simple graph
    bool configured = false;
    std::vector<std::unique_ptr<TInputFilter>> inputs;
    std::vector<std::unique_ptr<TOutputFilter>> outputs;
};

// A -tag value: a number (decimal or 0x...) or else a four-character code.
uint32_t parse_codec_tag(const std::string& text);

// What the transcode loop keeps across its steps (worker only).
struct LoopState {
    int64_t expected_duration = -1;
    int64_t timer_start = 0;
    int64_t last_report = -1;  // none yet
    int64_t video_size = 0;
    int64_t audio_size = 0;
    int64_t subtitle_size = 0;
    int dup_frames = 0;
    int drop_frames = 0;
    bool counts_changed = false;
    std::vector<char> input_eagain;  // per input file
    int multi_frame_warnings = 0;
    // Reused on every step: the sink's frame, a discarded packet.
    FramePtr reap_frame;
    PacketPtr discarded_packet;
    int current_input = 0;  // joining: the input being read
};

// What a task may do in place of a transcode (the lossless remux): called on
// the task's worker, it reads stop between its steps and reports the share
// done (0 to 1) through progress. Empty, or why it failed; a stopped work
// returns empty.
using TaskWork =
    std::function<std::string(const std::atomic<bool>& stop, const std::function<void(double share)>& progress)>;

class TCustomFFmpeg;
using CoreBeforeFindStreamInfoCall = std::function<void(TCustomFFmpeg* Sender, AVFormatContext* ctx)>;
using CoreProgressCall =
    std::function<void(TCustomFFmpeg* Sender, int InputIndex, int FrameNumber, int FPS, float Quality, float BitRate,
                       int64_t OutputSize, int64_t Position, int64_t Duration)>;
using CoreTerminateCall = std::function<void(TCustomFFmpeg* Sender)>;
// Hook calls of the encoder component, made on the worker.
using CoreAudioHookCall = std::function<void(TCustomFFmpeg* Sender, int64_t PTS, void* Samples, int Size,
                                             int SampleRate, int Channels, AVSampleFormat SampleFormat)>;
using CoreFrameHookCall = std::function<void(TCustomFFmpeg* Sender, AVFrame* Frame, int64_t PTS)>;

// A task's worker, created suspended: the caller resumes it. It deletes
// itself at the end of its run.
class TConvertThread {
public:
    TConvertThread(TCustomFFmpeg* task, TThreadPriority priority);
    void Resume();

private:
    void Execute();
    TCustomFFmpeg* task_;
    TThreadPriority priority_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool resumed_ = false;
};

class TCustomFFmpeg : public TObject {
public:
    TCustomFFmpeg();
    ~TCustomFFmpeg() override;

    // The task's option parser: its settings, its option-error text, and
    // the last-error text that every set-up failure of the task leaves.
    TCustomFFmpegOpt& options() { return options_; }
    const TCustomFFmpegOpt& options() const { return options_; }
    const std::string& last_error() const { return options_.last_error(); }
    void set_last_error(std::string text) { options_.set_last_error(std::move(text)); }

    // The new input index, or a negative code with last_error() set.
    int OpenInputFile(TOptionsContext& o, const std::string& options, const std::string& file_name,
                      const std::string& presets);
    // The new output index, or a negative code (mostly -1) with last_error() set.
    int OpenOutputFile(TOptionsContext& o, const std::string& options, bool join, const std::string& file_name,
                       const std::string& presets);
    // Start of a run: 0 or a negative code (see the failure rules in FFmpegInit.cpp).
    int transcode_init();
    // Builds (or rebuilds) a graph's library graph; 0 or a negative code.
    int configure_filtergraph(TFilterGraph& fg);
    // The source input stream of an output stream, or null.
    TInputStream* get_input_stream(const TOutputStream& ost);

    // Names of an output: the temporary file written until completion (empty
    // for muxers that open no file) and the target it is renamed onto.
    const std::string& temp_output_name(int file) const;
    const std::string& target_name(int file) const;

    // Deletes the temporary files of outputs that were not renamed yet.
    void discard_temp_outputs();
    // Closes every opened encoder and decoder of this task (the contexts stay)
    // and takes them off the process-wide open-codec lists.
    void close_codecs();
    static size_t open_encoder_count();
    static size_t open_decoder_count();

    CoreBeforeFindStreamInfoCall OnBeforeFindStreamInfo;

    // The task's life (FFmpegTask.cpp). Called by the owner's thread; the
    // run and every call-out happen on the worker (the caller's thread when
    // unthreaded). Exactly one termination notice per task: whoever claims it
    // first (the start, or TerminateWithoutRun) delivers it.
    TConvertThread* Start(bool threaded, TThreadPriority priority);
    // With wait, returns once the worker has ended, except from inside the
    // run itself or from a handler that a thread waits for (see
    // MainThreadQueue::InBlockingCall): the stop is then only requested.
    void Stop(bool wait);
    void TerminateWithoutRun(bool wait);
    // Stops the run and waits until no other thread uses the task (its worker,
    // its termination delivery), whatever the caller is inside. An owner calls
    // it before it frees anything the worker uses.
    void WaitForEnd();
    bool Running() const { return running_; }
    bool Terminated() const { return terminated_; }
    bool Completed() const { return completed_; }
    bool Failed() const { return failed_; }
    // Read after the termination notification (written by the worker).
    std::string ErrorText() const {
        std::lock_guard lock(state_lock_);
        return error_text_;
    }
    int64_t ProgressIntervalUs = 500000;
    // Set by the owner before the start: the run calls it instead of
    // transcoding (the task has no files of its own). Its progress reaches
    // OnProgress as a position within WorkDuration (microseconds).
    TaskWork Work;
    int64_t WorkDuration = -1;
    CoreProgressCall OnProgress;
    CoreTerminateCall OnTerminate;
    CoreAudioHookCall OnAudioInputHook, OnAudioOutputHook;
    CoreFrameHookCall OnVideoInputHook, OnVideoOutputHook, OnFrameInputHook, OnFrameOutputHook;

    std::vector<TInputFile> input_files;
    std::vector<std::unique_ptr<TInputStream>> input_streams;
    std::vector<TOutputFile> output_files;
    std::vector<std::unique_ptr<TOutputStream>> output_streams;
    std::vector<std::unique_ptr<TFilterGraph>> filtergraphs;

    int64_t longest_input_duration = -1;  // microseconds, -1: none
    int64_t output_recording_time = -1;   // microseconds, -1: none
    int64_t global_header_bytes = 0;
    bool joined = false;

    // Time-out stamps (microseconds of av_gettime_relative; INT64_MAX: not
    // armed; 0 forces an abort) and the stop request, read by the call-backs.
    std::atomic<int64_t> read_stamp{INT64_MAX};
    std::atomic<int64_t> write_stamp{INT64_MAX};
    std::atomic<bool> stop_requested{false};
    int read_timeout = TFFBaseComponent::kDefaultTimeout;   // milliseconds
    int write_timeout = TFFBaseComponent::kDefaultTimeout;  // milliseconds
    void arm_read_stamp() { read_stamp = av_gettime_relative(); }
    void arm_write_stamp() { write_stamp = av_gettime_relative(); }

    static int read_interrupt(void* opaque);
    static int write_interrupt(void* opaque);

protected:
    AVIOInterruptCB write_interrupt_callback() { return {&write_interrupt, this}; }
    // Called on the run's thread just before the end of a run (or a start
    // that fails) frees the input contexts, for whatever describes them.
    virtual void before_inputs_freed() {}
    // A task may leave opening its files to the start of its run, so that
    // only running tasks hold them: true while such a set-up is pending.
    virtual bool setup_deferred() const { return false; }
    // On the run's thread, first thing: the pending set-up; empty or why it
    // failed (the run then ends failed with that text).
    virtual std::string run_deferred_setup() { return {}; }

private:
    friend class TConvertThread;
    TCustomFFmpegOpt options_{this, &input_files, write_interrupt_callback()};
    // The run (FFmpegTask.cpp) and the loop (FFmpegLoop.cpp, FFmpegProgress.cpp).
    void run();
    void guarded(const std::function<void()>& step);
    void fail(const std::string& text);
    void request_stop();
    void deliver_termination();
    void free_everything();
    void transcode();
    void run_work();
    bool need_output();
    int transcode_step();
    TOutputStream* choose_output();
    int process_input(int file_index);
    int process_input_packet(TInputStream& ist, const AVPacket* pkt);
    // With end_graphs false a drained decoder leaves its graphs open (joining).
    int decode_packet(TInputStream& ist, const AVPacket* pkt, bool end_graphs = true);
    int decoded_frame(TInputStream& ist, const AVPacket* pkt, AVFrame* frame);
    int send_frame_to_filters(TInputStream& ist, AVFrame* frame);
    int reap_filters();
    void do_audio_out(TOutputFile& of, TOutputStream& ost, AVFrame* frame);
    void do_video_out(TOutputFile& of, TOutputStream& ost, AVFrame* frame);
    void encode_and_write(TOutputFile& of, TOutputStream& ost, const AVFrame* frame, const char* what);
    void count_discarded_packet(TOutputFile& of, TOutputStream& ost, const AVFrame& frame);
    void do_streamcopy(TInputStream& ist, TOutputStream& ost, const AVPacket* pkt);
    void write_packet(TOutputFile& of, TOutputStream& ost, AVPacket* pkt);
    bool check_recording_time(TOutputStream& ost);
    void close_output_stream(TOutputStream& ost);
    void flush_encoders();
    void print_report(bool final_report);
    // Per-packet and per-frame steps (FFmpegLoopSteps.cpp).
    void correct_timestamps(TInputFile& ifile, TInputStream& ist, AVPacket* pkt);
    void emulate_rate(TInputStream& ist);
    void check_audio_format_change(TInputStream& ist, AVFrame* frame);
    void check_video_format_change(TInputStream& ist, const AVFrame* frame);
    void reconfigure_filters(TInputStream& ist);
    void apply_sink_frame_size(TOutputStream& ost);
    void force_key_frame(TOutputStream& ost, AVFrame* frame);
    void write_filtered_packet(TOutputFile& of, TOutputStream& ost, AVPacket* pkt);
    void open_bitstream_filters(TOutputStream& ost);
    void call_audio_hook(const CoreAudioHookCall& hook, int64_t pts, const AVFrame* frame);
    void advance_joined_input(int file_index);
    int transcode_subtitles(TInputStream& ist, const AVPacket* pkt);
    void do_subtitle_out(TOutputFile& of, TOutputStream& ost, AVSubtitle& sub);

    std::atomic<bool> running_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> completed_{false};
    std::atomic<bool> failed_{false};
    mutable std::mutex state_lock_;  // error_text_
    std::string error_text_;
    std::mutex life_lock_;  // termination_claimed_, worker_ and the start's flag changes
    bool termination_claimed_ = false;
    TConvertThread* worker_ = nullptr;
    std::atomic<std::thread::id> run_thread_{};  // the thread inside run(), for Stop's self-wait test
    ManualResetEvent run_finished_{true};
    ManualResetEvent terminate_delivered_{true};
    LoopState loop_;

    // Set-up helpers (FFmpegInput.cpp, FFmpegOutput.cpp).
    void add_input_streams(TOptionsContext& o, AVFormatContext* ic, int file_index);
    void dump_attachments(TOptionsContext& o, AVFormatContext* ic);
    Dictionary filter_codec_opts(const AVDictionary* opts, AVCodecID codec_id, AVFormatContext* s, AVStream* st,
                                 const AVCodec* codec, bool encoder);
    TOutputStream& new_output_stream(TOptionsContext& o, AVFormatContext* oc, AVMediaType type, int source_index);
    // Raises when a copied stream was also given a filter, or is fed by a
    // filter graph: copied packets are never decoded, so neither could run.
    void refuse_filtered_copy(TOptionsContext& o, AVFormatContext* oc, const TOutputStream& ost);
    TOutputStream& new_video_stream(TOptionsContext& o, AVFormatContext* oc, int source_index);
    TOutputStream& new_audio_stream(TOptionsContext& o, AVFormatContext* oc, int source_index);
    void new_stream_of_type(TOptionsContext& o, AVFormatContext* oc, AVMediaType type, int source_index);
    void select_streams_automatically(TOptionsContext& o, AVFormatContext* oc);
    int select_streams_by_map(TOptionsContext& o, AVFormatContext* oc);
    // Why the target format cannot hold the stream a map would make of the
    // input stream; empty when it can, or when only the muxer can tell.
    std::string unheld_reason(TOptionsContext& o, AVFormatContext* oc, const TInputStream& ist);
    uint16_t* parse_matrix(const std::string& text);
    void add_attachments(TOptionsContext& o, AVFormatContext* oc);
    void copy_metadata(TOptionsContext& o, TOutputFile& of);
    std::vector<AVDictionary**> metadata_targets(AVFormatContext* ctx, const std::string& specifier);
    void apply_metadata_maps(TOptionsContext& o, AVFormatContext* oc);
    // Drops the streams of the output being opened after a failure.
    int fail_output(const std::string& message, size_t first_ost);

    // An output's file (FFmpegFiles.cpp). Each returns empty or the error text.
    // Opens the bytes of the output: a temporary file beside a regular or new
    // target, the target itself when it is a device or a protocol URL.
    std::string open_target(TOutputFile& of);
    // Flushes and closes the output's file: the end of writing.
    std::string close_output(TOutputFile& of);
    // Renames the finished temporary file onto the target.
    std::string commit_output(TOutputFile& of);
    std::string output_error_text(const TOutputFile& of, int code) const;

    // Graph helpers (FFmpegFilter.cpp).
    TFilterGraph& init_simple_filtergraph(int ist, int ost);
    int configure_input_audio(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in);
    int configure_input_video(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in);
    int configure_output_audio(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out);
    int configure_output_video(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out);

    // Complex graphs (FFmpegComplex.cpp).
    int init_complex_filtergraphs();
    void init_complex_filtergraph(TFilterGraph& fg);
    void bind_output_filter(TOptionsContext& o, AVFormatContext* oc, TOutputFilter& ofilter);
    void bind_unlabeled_outputs(TOptionsContext& o, AVFormatContext* oc);
    bool bind_labeled_output(TOptionsContext& o, AVFormatContext* oc, const std::string& label);
    int configure_complex_filtergraph(TFilterGraph& fg, AVFilterInOut* inputs, AVFilterInOut* outputs);
    // Removes the streams of an output that failed to open, unbinding graph outputs.
    void drop_output_streams(size_t first_ost);
    size_t complex_graphs_ = 0;  // descriptions that have graph records

    // Start-up helpers (FFmpegInit.cpp).
    int init_stream_copy(TOutputStream& ost, TInputStream& ist, std::string& error);
    int init_encoding(TOutputStream& ost, std::string& error);
    void parse_forced_key_frames(TOutputStream& ost);
    int init_two_pass(TOutputStream& ost, int ost_index, std::string& error);
    int open_encoder(TOutputStream& ost, std::string& error);
    int open_decoder(int ist_index, std::string& error);
    void log_stream_mapping();
};

}  // namespace sonorix
