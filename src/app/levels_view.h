// The list's files as bars: each file's peak and integrated loudness before
// and after its gain, the target as a line, on a dB scale. Drawn with the
// desktop's palette; updated as the files are measured. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QWidget>

namespace sonorix {
class BatchJob;
}

namespace sonorix::ui {

struct LevelBar {
    std::string name;                                    // the file's name, without its folder
    std::optional<double> peak_before, loudness_before;  // dBFS, LUFS
    std::optional<double> peak_after, loudness_after;    // measured on the target, else before + gain
};

// A bar per row of job; level_after holds the rows' levels measured on the
// targets (peak, or loudness in Loudness mode).
std::vector<LevelBar> level_bars(const BatchJob& job, const std::vector<std::optional<double>>& level_after);
// Where the target line goes: the loudness target, or 0 dBFS for Normalize.
std::optional<double> level_target(const BatchJob& job, double loudness_target);

class LevelsView : public QWidget {
public:
    explicit LevelsView(QWidget* parent = nullptr);

    static constexpr double kFloorDb = -60;  // the scale's bottom

    void show_levels(std::vector<LevelBar> bars, std::optional<double> target);
    const std::vector<LevelBar>& bars() const { return bars_; }
    std::optional<double> target() const { return target_; }

    QSize sizeHint() const override { return {400, 110}; }
    QSize minimumSizeHint() const override { return {200, 70}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<LevelBar> bars_;
    std::optional<double> target_;
};

}  // namespace sonorix::ui
