// The results of the last run, per file: status, levels, gain and target,
// in a window of their own with the output folder a click away and the table
// saved as CSV. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace sonorix {
class BatchJob;
}

namespace sonorix::ui {

struct ResultRow {
    std::string file;
    std::string status;  // "converted", "skipped", "failed", "stopped", "not converted"; "tagged", "removed"
    std::string reason;  // why it was skipped or failed
    std::optional<double> level_before;
    std::optional<double> gain;         // dB
    std::optional<double> level_after;  // where the target was measured again
    std::string target;
};

struct RunResults {
    std::string level_unit = "dBFS";      // the levels' unit: peak (dBFS) or loudness (LUFS)
    std::string target_title = "Target";  // the last column's: what each file became
    std::vector<ResultRow> rows;
    std::string output_folder;
    bool any_failed() const;
    // "Process is finished!", or its variant with errors.
    std::string heading() const;
};

// A level or gain as the tables show it: "-6.0", "-inf", "" when not known.
std::string level_figure(const std::optional<double>& value);

// The list run's rows; level_after holds each row's checked level, if any.
RunResults list_results(const BatchJob& job, const std::vector<std::optional<double>>& level_after);
// The columns' titles, the table's and the CSV's.
std::vector<std::string> result_columns(const std::string& level_unit, const std::string& target_title = "Target");
// The table as CSV (RFC 4180): a title line, then a line per row, CRLF ends.
std::string results_csv(const RunResults& results);

class Tresults : public QDialog {
public:
    explicit Tresults(QWidget* owner = nullptr);

    QLabel* heading;
    QTableWidget* table;
    QPushButton* open_folder;
    QPushButton* save_csv;
    QPushButton* close_button;

    // Fills the table and shows the window, without a loop of its own.
    void show_results(const RunResults& results);
    const RunResults& results() const { return results_; }
    // Asks for a file name and writes the CSV; false when cancelled or not written.
    bool save_csv_click();

private:
    RunResults results_;
};

}  // namespace sonorix::ui
