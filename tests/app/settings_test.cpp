// The window's settings outlive it: written when the forms go, read back
// when they are made again, from the config folder the environment names;
// "Reset to defaults" brings the program's own values back.
#include <QDoubleSpinBox>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>

#include "app/p_options.h"
#include "app/settings.h"
#include "app/step_button.h"
#include "app_fixture.h"

namespace sonorix::test {
namespace {

using SettingsTest = AppTest;

// Every remembered value as one comparable row of texts.
std::vector<std::string> remembered(ui::Tmain& w) {
    auto n = [](double v) { return std::to_string(v); };
    return {n(w.RzPageControl1->currentIndex()),
            n(w.radio_loudness_single->isChecked()),
            n(w.NCTStepButton21->Value()),
            n(w.spin_loudness_single->value()),
            n(w.radio_loudness->isChecked()),
            n(w.batch_spin_volume->value()),
            n(w.batch_spin_loudness->value()),
            n(ui::options->ed_ceiling->value()),
            ui::options->ed_prefix->text().toStdString(),
            w.list_flow().run.output_folder,
            w.add_folder,
            n(w.width()),
            n(w.height()),
            n(w.ListView1->columnWidth(ui::Tmain::kFormatColumn)),
            n(w.check_album->isChecked()),
            n(w.check_album_folder->isChecked()),
            n(w.check_tags_remove->isChecked()),
            n(w.check_skip->isChecked()),
            n(w.check_subfolders->isChecked()),
            n(w.spin_skip->value())};
}

TEST_F(SettingsTest, WrittenWhenTheWindowGoesAndReadBackAndReset) {
    ASSERT_TRUE(ui::settings_file().startsWith(QString::fromStdString(out.path().string())));
    ui::Tmain& first = window();
    const std::vector<std::string> defaults = remembered(first);
    first.RzPageControl1->setCurrentIndex(1);
    first.radio_loudness_single->setChecked(true);
    first.NCTStepButton21->SetValue(135);
    first.spin_loudness_single->setValue(-20.5);
    first.radio_loudness->setChecked(true);
    first.batch_spin_volume->setValue(80);
    first.batch_spin_loudness->setValue(-14);
    ui::options->ed_ceiling->setValue(-2);
    ui::options->ed_prefix->setText("loud_");
    first.list_flow().run.output_folder = "/music/out";
    first.add_folder = "/music/in/";
    first.resize(1100, 700);
    first.ListView1->setColumnWidth(ui::Tmain::kFormatColumn, 300);
    first.check_album->setChecked(true);
    first.check_album_folder->setChecked(true);
    first.check_tags_remove->setChecked(true);
    first.check_skip->setChecked(true);
    first.check_subfolders->setChecked(true);
    first.spin_skip->setValue(2.5);
    const std::vector<std::string> chosen = remembered(first);
    ASSERT_NE(chosen, defaults);

    ui::free_forms();
    ui::create_forms();
    EXPECT_EQ(remembered(window()), chosen);
    EXPECT_EQ(window().label_volume->text(), "135%");

    ui::options->findChild<QPushButton*>("bt_reset")->click();
    EXPECT_EQ(remembered(window()), defaults);
    EXPECT_FALSE(QFile::exists(ui::settings_file()));
}

// A hand-edited file with values out of range or of the wrong kind: the
// controls keep what they can take.
TEST_F(SettingsTest, ValuesOutOfRangeAreNotTaken) {
    ui::free_forms();
    {
        QFile file(ui::settings_file());
        QDir().mkpath(QFileInfo(file).absolutePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[single]\npercent=5000\nmode=7\n[options]\nprefix=bad/prefix\nceiling=-99\n[list]\npercent=abc\n");
    }
    ui::create_forms();
    ui::Tmain& w = window();
    const std::vector<std::string> got = {
        std::to_string(w.NCTStepButton21->Value()), std::to_string(w.RadioButton1->isChecked()),
        ui::options->ed_prefix->text().toStdString(), std::to_string(w.batch_spin_volume->value())};
    EXPECT_EQ(got, (std::vector<std::string>{"100", "1", "", "100"}));
    EXPECT_GE(ui::options->ed_ceiling->value(), ui::options->ed_ceiling->minimum());
}

}  // namespace
}  // namespace sonorix::test
