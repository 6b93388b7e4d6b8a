#include "app/levels_view.h"

#include <algorithm>
#include <filesystem>

#include <QPaintEvent>
#include <QPainter>

#include "workflow/batch_job.h"

namespace sonorix::ui {

namespace {

std::optional<double> plus(const std::optional<double>& level, const std::optional<double>& gain) {
    if (!level || !gain) return std::nullopt;
    return *level + *gain;
}

}  // namespace

std::vector<LevelBar> level_bars(const BatchJob& job, const std::vector<std::optional<double>>& level_after) {
    const bool loudness = job.mode() == BatchMode::Loudness;
    std::vector<LevelBar> bars;
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const BatchRow& r = job.rows[i];
        LevelBar bar;
        bar.name = std::filesystem::path(r.source).filename().string();
        if (r.main_track < r.tracks.size()) {
            const TrackLevel& t = r.tracks[r.main_track];
            bar.peak_before = t.peak_db;
            bar.loudness_before = t.integrated;
            // Only a converted row (or one still to convert) has an after.
            // A lossless target moved by its fields' gain, not the one asked.
            const std::optional<double> gain = t.applied ? t.applied : t.gain;
            if (r.state != BatchRow::State::Skipped && r.state != BatchRow::State::Failed && gain) {
                bar.peak_after = plus(t.peak_db, gain);
                bar.loudness_after = plus(t.integrated, gain);
                const std::optional<double> checked = i < level_after.size() ? level_after[i] : std::nullopt;
                if (checked) (loudness ? bar.loudness_after : bar.peak_after) = checked;
            }
        }
        bars.push_back(bar);
    }
    return bars;
}

std::optional<double> level_target(const BatchJob& job, double loudness_target) {
    if (job.mode() == BatchMode::Loudness) return loudness_target;
    if (job.mode() == BatchMode::Normalize) return 0.0;
    return std::nullopt;
}

LevelsView::LevelsView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setToolTip("Peak (light) and loudness (dark) of each file, before and after; the line is the target");
}

void LevelsView::show_levels(std::vector<LevelBar> bars, std::optional<double> target) {
    bars_ = std::move(bars);
    target_ = target;
    update();
}

void LevelsView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.base());
    p.setPen(pal.mid().color());
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const QRectF area = QRectF(rect()).adjusted(4, 4, -4, -4);
    // dB to a height in the area: 0 dB at the top, kFloorDb at the bottom.
    auto y_of = [&](double db) { return area.top() + area.height() * std::clamp(db / kFloorDb, 0.0, 1.0); };
    if (bars_.empty()) {
        p.setPen(pal.placeholderText().color());
        p.drawText(area, Qt::AlignCenter, "The files' levels show here as they are measured");
        return;
    }
    const double slot = area.width() / static_cast<double>(bars_.size());
    const double bar_width = std::max(1.0, slot * 0.4 - 1);
    QColor peak = pal.highlight().color();
    peak.setAlpha(90);
    const QColor level = pal.highlight().color();
    auto draw = [&](double x, const std::optional<double>& top, const QColor& color) {
        if (!top) return;
        p.fillRect(QRectF(x, y_of(*top), bar_width, area.bottom() - y_of(*top)), color);
    };
    for (size_t i = 0; i < bars_.size(); ++i) {
        const LevelBar& b = bars_[i];
        const double x = area.left() + slot * static_cast<double>(i) + slot * 0.1;
        // Before, then after: the peak behind, the loudness in front.
        draw(x, b.peak_before, peak);
        draw(x, b.loudness_before, level);
        draw(x + bar_width + 1, b.peak_after, peak);
        draw(x + bar_width + 1, b.loudness_after, level);
    }
    if (target_) {
        p.setPen(QPen(pal.text().color(), 1, Qt::DashLine));
        p.drawLine(QPointF(area.left(), y_of(*target_)), QPointF(area.right(), y_of(*target_)));
    }
}

}  // namespace sonorix::ui
