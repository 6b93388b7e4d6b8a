#include "app/settings.h"

#include <algorithm>
#include <vector>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTreeWidget>

#include "app/p_options.h"
#include "app/step_button.h"
#include "app/xp_main.h"
#include "workflow/loudness.h"

namespace sonorix::ui {

namespace {

// The radio buttons of a page's modes, in the order their index is stored.
std::vector<QRadioButton*> single_modes(const Tmain& w) {
    return {w.RadioButton1, w.RadioButton2, w.radio_loudness_single};
}
std::vector<QRadioButton*> list_modes(const Tmain& w) {
    return {w.radio_change, w.radio_auto, w.radio_mix, w.radio_loudness, w.radio_tags};
}

int checked_index(const std::vector<QRadioButton*>& radios) {
    for (size_t i = 0; i < radios.size(); ++i) {
        if (radios[i]->isChecked()) return static_cast<int>(i);
    }
    return 0;
}

void check_index(const std::vector<QRadioButton*>& radios, const QVariant& value) {
    bool ok = false;
    const int i = value.toInt(&ok);
    if (ok && i >= 0 && i < static_cast<int>(radios.size())) radios[static_cast<size_t>(i)]->setChecked(true);
}

template <typename Spin>
void set_number(Spin* spin, const QVariant& value) {
    bool ok = false;
    const double v = value.toDouble(&ok);
    if (ok) spin->setValue(static_cast<decltype(spin->value())>(v));
}

}  // namespace

QString settings_file() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/sonorix/sonorix.conf";
}

void load_settings(Tmain& w, Toptions& o) {
    QSettings s(settings_file(), QSettings::IniFormat);
    if (s.contains("page")) w.RzPageControl1->setCurrentIndex(std::clamp(s.value("page").toInt(), 0, 1));
    check_index(single_modes(w), s.value("single/mode"));
    if (s.contains("single/percent")) {
        bool ok = false;
        const int percent = s.value("single/percent").toInt(&ok);
        if (ok && percent >= 0 && percent <= 1000) {
            w.NCTStepButton21->SetValue(percent);
            w.NCTStepButton21ValueChange(nullptr, percent);
        }
    }
    if (s.contains("single/loudness")) set_number(w.spin_loudness_single, s.value("single/loudness"));
    w.check_lossless_single->setChecked(s.value("single/lossless", false).toBool());
    check_index(list_modes(w), s.value("list/mode"));
    if (s.contains("list/percent")) set_number(w.batch_spin_volume, s.value("list/percent"));
    if (s.contains("list/loudness")) set_number(w.batch_spin_loudness, s.value("list/loudness"));
    w.check_album->setChecked(s.value("list/album", false).toBool());
    w.check_album_folder->setChecked(s.value("list/album_folder", false).toBool());
    w.check_tags_remove->setChecked(s.value("list/tags_remove", false).toBool());
    w.check_skip->setChecked(s.value("list/skip", false).toBool());
    w.check_subfolders->setChecked(s.value("list/subfolders", false).toBool());
    w.check_lossless->setChecked(s.value("list/lossless", false).toBool());
    if (s.contains("list/skip_within")) set_number(w.spin_skip, s.value("list/skip_within"));
    if (s.contains("options/ceiling")) set_number(o.ed_ceiling, s.value("options/ceiling"));
    // The prefix obeys the edit's characters, as typed text does.
    if (s.contains("options/prefix")) {
        QString prefix = s.value("options/prefix").toString().left(o.ed_prefix->maxLength());
        int at = 0;
        if (o.ed_prefix->validator()->validate(prefix, at) == QValidator::Acceptable) o.ed_prefix->setText(prefix);
    }
    w.list_flow().run.output_folder = s.value("list/output_folder").toString().toStdString();
    w.add_folder = s.value("list/add_folder").toString().toStdString();
    const QSize size = s.value("window/size").toSize();
    if (size.isValid()) w.resize(size.expandedTo(w.minimumSize()));
    const QList<QVariant> widths = s.value("list/column_widths").toList();
    for (int i = 0; i < widths.size() && i < w.ListView1->columnCount(); ++i) {
        const int width = widths[i].toInt();
        if (width > 0) w.ListView1->setColumnWidth(i, width);
    }
}

void save_settings(const Tmain& w, const Toptions& o) {
    QSettings s(settings_file(), QSettings::IniFormat);
    s.setValue("page", w.RzPageControl1->currentIndex());
    s.setValue("single/mode", checked_index(single_modes(w)));
    s.setValue("single/percent", w.NCTStepButton21->Value());
    s.setValue("single/loudness", w.spin_loudness_single->value());
    s.setValue("single/lossless", w.check_lossless_single->isChecked());
    s.setValue("list/mode", checked_index(list_modes(w)));
    s.setValue("list/percent", w.batch_spin_volume->value());
    s.setValue("list/loudness", w.batch_spin_loudness->value());
    s.setValue("list/album", w.check_album->isChecked());
    s.setValue("list/album_folder", w.check_album_folder->isChecked());
    s.setValue("list/tags_remove", w.check_tags_remove->isChecked());
    s.setValue("list/skip", w.check_skip->isChecked());
    s.setValue("list/subfolders", w.check_subfolders->isChecked());
    s.setValue("list/lossless", w.check_lossless->isChecked());
    s.setValue("list/skip_within", w.spin_skip->value());
    s.setValue("options/ceiling", o.ed_ceiling->value());
    s.setValue("options/prefix", o.ed_prefix->text());
    s.setValue("list/output_folder", QString::fromStdString(const_cast<Tmain&>(w).list_flow().run.output_folder));
    s.setValue("list/add_folder", QString::fromStdString(w.add_folder));
    s.setValue("window/size", w.size());
    QList<QVariant> widths;
    for (int i = 0; i < w.ListView1->columnCount(); ++i) widths << w.ListView1->columnWidth(i);
    s.setValue("list/column_widths", widths);
}

void reset_settings(Tmain& w, Toptions& o) {
    QFile::remove(settings_file());
    w.RzPageControl1->setCurrentIndex(0);
    w.RadioButton1->setChecked(true);
    w.NCTStepButton21->SetValue(100);
    w.NCTStepButton21ValueChange(nullptr, 100);
    w.spin_loudness_single->setValue(kDefaultLoudnessTarget);
    w.radio_change->setChecked(true);
    w.batch_spin_volume->setValue(100);
    w.batch_spin_loudness->setValue(kDefaultLoudnessTarget);
    w.check_album->setChecked(false);
    w.check_album_folder->setChecked(false);
    w.check_tags_remove->setChecked(false);
    w.check_skip->setChecked(false);
    w.check_subfolders->setChecked(false);
    w.check_lossless->setChecked(false);
    w.check_lossless_single->setChecked(false);
    w.spin_skip->setValue(Tmain::kDefaultSkipWithin);
    o.ed_ceiling->setValue(kDefaultTruePeakCeiling);
    o.ed_prefix->clear();
    w.list_flow().run.output_folder.clear();
    w.add_folder.clear();
    w.resize(Tmain::kDesignClientSize + QSize(0, w.menuBar()->sizeHint().height()));
    w.reset_columns();
}

}  // namespace sonorix::ui
