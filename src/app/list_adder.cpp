#include "app/list_adder.h"

#include <exception>

#include <QTreeWidgetItem>
#include <QVariant>

#include "workflow/batch_list.h"
#include "workflow/format_text.h"
#include "base/FFLog.h"
#include "workflow/source_types.h"

namespace sonorix::ui {

ProbedRow probe_row(TFFDecoder& probe, const std::string& path, bool with_facts) {
    ProbedRow row;
    row.path = path;
    try {
        // Taken before the file is read: one changed meanwhile is read again.
        const std::optional<SourceStamp> stamp = source_stamp(path);
        if (!probe.LoadFile(path)) {
            row.refusal = "File load error: ";
        } else if (probe.FirstAudioStream < 0) {
            row.refusal = "No audio stream: ";
        } else {
            row.size = list_size_text(probe.FileSize);
            TFileStreamInfo info;
            probe.GetFileInfo(info);
            row.time = row.format = "N/A";
            if (info.Duration > 0) {
                row.time = duration_text(info.Duration);
                row.format = readable_format(probe.FormatContext());
            }
            if (with_facts) {
                auto facts = std::make_shared<SourceFacts>(source_facts(probe));
                facts->stamp = stamp;
                row.facts = std::move(facts);
            }
        }
    } catch (const std::exception&) {
        row.raised = true;
    }
    return row;
}

namespace {

constexpr int kFactsRole = Qt::UserRole + 1;

}  // namespace

void keep_facts(QTreeWidgetItem& item, std::shared_ptr<const SourceFacts> facts) {
    item.setData(0, kFactsRole, QVariant::fromValue(std::move(facts)));
}

std::shared_ptr<const SourceFacts> kept_facts(const QTreeWidgetItem& item) {
    return item.data(0, kFactsRole).value<std::shared_ptr<const SourceFacts>>();
}

ListAdder::~ListAdder() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        waiting_.clear();
        if (probing_) probing_->Interrupt();
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void ListAdder::add(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(path);
    }
    ++round_total_;
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    wake_.notify_one();
}

std::vector<ProbedRow> ListAdder::take(size_t limit) {
    std::vector<ProbedRow> rows;
    {
        std::lock_guard lock(mutex_);
        while (!ready_.empty() && rows.size() < limit) {
            rows.push_back(std::move(ready_.front()));
            ready_.pop_front();
        }
    }
    round_taken_ += rows.size();
    if (!busy()) round_total_ = round_taken_ = 0;
    return rows;
}

void ListAdder::cancel() {
    std::lock_guard lock(mutex_);
    waiting_.clear();
    ready_.clear();
    ++generation_;
    if (probing_) probing_->Interrupt();
    round_total_ = round_taken_ = 0;
}

void ListAdder::work() {
    // Its own probe: the component's probe belongs to the main thread. It
    // raises no events, so nothing waits for the main thread here.
    TFFDecoder probe;
    probe.TriggerEventInMainThread = false;
    // Its log lines belong to no task: none is posted to the main thread.
    const ThreadLogSilence silence;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return quit_ || !waiting_.empty(); });
        if (quit_) return;
        const std::string path = std::move(waiting_.front());
        waiting_.pop_front();
        const uint64_t generation = generation_;
        probing_ = &probe;
        lock.unlock();
        ProbedRow row = probe_row(probe, path);
        probe.CloseFile();  // a long list holds no file open
        lock.lock();
        probing_ = nullptr;
        if (generation == generation_ && !quit_) ready_.push_back(std::move(row));
    }
}

}  // namespace sonorix::ui
