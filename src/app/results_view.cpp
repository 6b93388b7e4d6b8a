#include "app/results_view.h"

#include <cmath>
#include <fstream>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/dialogs.h"
#include "app/messages.h"
#include "app/web.h"
#include "base/FFBase.h"
#include "workflow/batch_job.h"
#include "workflow/lossless_task.h"
#include "workflow/text.h"

namespace sonorix::ui {

namespace {

std::string status_of(BatchRow::State state) {
    switch (state) {
    case BatchRow::State::Completed: return "converted";
    case BatchRow::State::Skipped: return "skipped";
    case BatchRow::State::Failed: return "failed";
    case BatchRow::State::Stopped: return "stopped";
    default: return "not converted";
    }
}

// One CSV field: quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::vector<std::string> cells(const ResultRow& row) {
    const std::string status = row.reason.empty() ? row.status : row.status + ": " + row.reason;
    return {row.file,  status, level_figure(row.level_before), level_figure(row.gain), level_figure(row.level_after),
            row.target};
}

}  // namespace

std::string level_figure(const std::optional<double>& value) {
    if (!value) return "";
    if (!std::isfinite(*value)) return "-inf";
    return Format("%.1f", *value + 0.0);
}

bool RunResults::any_failed() const {
    for (const ResultRow& r : rows) {
        if (r.status == "failed") return true;
    }
    return false;
}

std::string RunResults::heading() const {
    return any_failed() ? "Process is finished with errors!" : "Process is finished!";
}

RunResults list_results(const BatchJob& job, const std::vector<std::optional<double>>& level_after) {
    RunResults results;
    const bool loudness = job.mode() == BatchMode::Loudness;
    results.level_unit = loudness ? "LUFS" : "dBFS";
    results.output_folder = job.output_folder().string();
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const BatchRow& r = job.rows[i];
        ResultRow row;
        row.file = r.source;
        row.status = status_of(r.state);
        row.reason = r.reason;
        if (r.main_track < r.tracks.size()) {
            const TrackLevel& main = r.tracks[r.main_track];
            row.level_before = loudness ? main.integrated : main.peak_db;
        }
        row.gain = r.state == BatchRow::State::Skipped && !r.within ? std::nullopt : job.gain_db(i);
        // Which path it took, where the run offered the lossless one; its
        // gain is then what the fields moved by.
        if (r.state == BatchRow::State::Completed && (r.lossless || !r.lossless_refusal.empty())) {
            row.status = lossless_status(job.lossless_text(i), r.lossless ? std::string() : r.lossless_refusal);
            if (r.lossless && r.main_track < r.tracks.size() && r.tracks[r.main_track].applied)
                row.gain = r.tracks[r.main_track].applied;
        }
        if (i < level_after.size()) row.level_after = level_after[i];
        if (r.state == BatchRow::State::Completed) row.target = r.target.string();
        results.rows.push_back(row);
    }
    return results;
}

std::vector<std::string> result_columns(const std::string& level_unit) {
    return {"File",  "Status", "Level before (" + level_unit + ")", "Gain (dB)", "Level after (" + level_unit + ")",
            "Target"};
}

std::string results_csv(const RunResults& results) {
    std::string csv;
    auto line = [&](const std::vector<std::string>& fields) {
        for (size_t i = 0; i < fields.size(); ++i) csv += (i ? "," : "") + csv_field(fields[i]);
        csv += "\r\n";
    };
    line(result_columns(results.level_unit));
    for (const ResultRow& r : results.rows) line(cells(r));
    return csv;
}

Tresults::Tresults(QWidget* owner) : QDialog(owner, Qt::Window) {
    setObjectName("results");
    setWindowTitle("Results");
    resize(760, 340);
    heading = new QLabel(this);
    heading->setObjectName("results_heading");
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    table = new QTableWidget(this);
    table->setObjectName("results_table");
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    table->setWordWrap(false);
    table->horizontalHeader()->setStretchLastSection(true);
    open_folder = new QPushButton("Open Output Folder", this);
    open_folder->setObjectName("results_open_folder");
    save_csv = new QPushButton("Save as CSV...", this);
    save_csv->setObjectName("results_save_csv");
    close_button = new QPushButton("Close", this);
    close_button->setObjectName("results_close");
    connect(open_folder, &QPushButton::clicked, this, [this] {
        if (!results_.output_folder.empty()) open_page(results_.output_folder);
    });
    connect(save_csv, &QPushButton::clicked, this, [this] { save_csv_click(); });
    connect(close_button, &QPushButton::clicked, this, &QDialog::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(open_folder);
    buttons->addWidget(save_csv);
    buttons->addStretch();
    buttons->addWidget(close_button);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(table, 1);
    layout->addLayout(buttons);
}

void Tresults::show_results(const RunResults& results) {
    results_ = results;
    heading->setText(QString::fromStdString(results.heading()));
    const std::vector<std::string> titles = result_columns(results.level_unit);
    table->clear();
    table->setColumnCount(static_cast<int>(titles.size()));
    QStringList labels;
    for (const std::string& t : titles) labels << QString::fromStdString(t);
    table->setHorizontalHeaderLabels(labels);
    table->setRowCount(static_cast<int>(results.rows.size()));
    for (int r = 0; r < table->rowCount(); ++r) {
        const std::vector<std::string> row = cells(results.rows[static_cast<size_t>(r)]);
        for (int c = 0; c < static_cast<int>(row.size()); ++c) {
            auto* item = new QTableWidgetItem(QString::fromStdString(row[static_cast<size_t>(c)]));
            item->setToolTip(item->text());
            if (c >= 2 && c <= 4) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table->setItem(r, c, item);
        }
    }
    table->resizeColumnsToContents();
    open_folder->setEnabled(!results.output_folder.empty());
    show();
    raise();
}

bool Tresults::save_csv_click() {
    TFileDialog save(TFileDialog::Save);
    save.Filter = "CSV Files|*.csv|";
    save.DefaultExt = "csv";
    save.InitialDir = results_.output_folder;
    if (!save.Execute(this)) return false;
    std::ofstream file(save.FileName, std::ios::binary | std::ios::trunc);
    file << results_csv(results_);
    file.close();
    if (!file) {
        MessageBoxA(this, "Can not write " + save.FileName, "Error", MB_ICONERROR);
        return false;
    }
    return true;
}

}  // namespace sonorix::ui
