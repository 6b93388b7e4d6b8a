// Probes the files added to the list on a thread of its own, so that adding
// many files never stops the window.
//
// Threads: add, take, cancel and the counts are called on the main thread.
// The worker owns its own probe and touches neither widgets nor the engine's
// main-thread queue (its probe raises no events, its log lines are dropped);
// results wait in a queue
// until the main thread takes them, in the order the files were added.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFDecode.h"
#include "workflow/output_options.h"

class QTreeWidgetItem;

namespace sonorix::ui {

// What a row shows of its file, or why the list refuses it.
struct ProbedRow {
    std::string path;
    // "File load error: " or "No audio stream: " (followed by the path in the
    // message); empty when accepted, or when the probe raised (raised set).
    std::string refusal;
    bool raised = false;
    std::string size, time, format;  // the row's cells when accepted
    // When accepted: what the list's runs read of the file, with its stamp.
    std::shared_ptr<const SourceFacts> facts;
    bool accepted() const { return refusal.empty() && !raised; }
};

// Opens path in probe and reads the row's cells and, with_facts, its facts
// (which may read the audio's packets for their bit rate); probe keeps the
// file open.
ProbedRow probe_row(TFFDecoder& probe, const std::string& path, bool with_facts = true);

// The facts a row's item keeps from its last probe (none: not kept).
void keep_facts(QTreeWidgetItem& item, std::shared_ptr<const SourceFacts> facts);
std::shared_ptr<const SourceFacts> kept_facts(const QTreeWidgetItem& item);

class ListAdder {
public:
    ListAdder() = default;
    ~ListAdder();  // drops what waits, interrupts a probe under way, joins
    ListAdder(const ListAdder&) = delete;
    ListAdder& operator=(const ListAdder&) = delete;

    void add(const std::string& path);
    // The results ready, at most limit, in the order the files were added.
    std::vector<ProbedRow> take(size_t limit);
    // Forgets every file not yet taken; the round ends.
    void cancel();

    // The files of this round (since the adder was last idle) and how many
    // of them were taken; busy while any is not.
    size_t round_total() const { return round_total_; }
    size_t round_taken() const { return round_taken_; }
    bool busy() const { return round_taken_ < round_total_; }

private:
    void work();

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> waiting_;  // not yet probed
    std::deque<ProbedRow> ready_;      // probed, not yet taken
    uint64_t generation_ = 0;          // a cancel drops the result of the probe under way
    bool quit_ = false;
    TFFDecoder* probing_ = nullptr;  // the worker's probe while it opens a file
    // Main thread only.
    size_t round_total_ = 0;
    size_t round_taken_ = 0;
};

}  // namespace sonorix::ui
