// Pictures of the forms for a person to look at: written when
// SONORIX_SCREENSHOTS names a folder.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>

#include "app/p_about.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/results_view.h"
#include "app_fixture.h"

namespace sonorix::test {
namespace {

using ScreenshotTest = AppTest;

TEST_F(ScreenshotTest, FormsAsPictures) {
    const QString folder = qEnvironmentVariable("SONORIX_SCREENSHOTS");
    if (folder.isEmpty()) GTEST_SKIP() << "SONORIX_SCREENSHOTS names no folder";
    std::filesystem::create_directories(folder.toStdString());
    ui::Tmain& w = window();
    w.single_flow().add_file(media("clip.mp4").string());
    w.show();
    // At 200 % (QT_SCALE_FACTOR=2) the pictures get their own names.
    const QString scale = QString("@%1x").arg(qRound(w.devicePixelRatioF()));
    auto save = [&](QWidget* form, const QString& name) {
        form->show();
        pump(std::chrono::milliseconds(50));
        const QString file = folder + "/" + name + scale + ".png";
        EXPECT_TRUE(form->grab().save(file)) << file.toStdString();
    };
    // Both pages at the design size and larger.
    const QSize menu = w.size() - ui::Tmain::kDesignClientSize;
    for (const QSize& client : {ui::Tmain::kDesignClientSize, QSize(1200, 760)}) {
        w.resize(client + menu);
        const QString size = QString("-%1x%2").arg(client.width()).arg(client.height());
        w.RzPageControl1->setCurrentWidget(w.TabSheet1);
        save(&w, "main-single-file" + size);
        w.RzPageControl1->setCurrentWidget(w.TabSheet2);
        save(&w, "main-multiple-files" + size);
    }
    w.resize(ui::Tmain::kDesignClientSize + menu);
    // The list after a normalize run: every row's cells and its headroom.
    for (const char* name : {"short.wav", "clip.mp4", "clip.mkv", "long.wav"}) w.add_file_b(media(name).string());
    wait_for_list();
    for (int row = 0; row < w.ListView1->topLevelItemCount(); ++row) w.ListView1->topLevelItem(row)->setText(4, "6.0");
    w.radio_auto->setChecked(true);
    save(&w, "main-file-list");
    w.ListView1->horizontalScrollBar()->setValue(w.ListView1->horizontalScrollBar()->maximum());
    save(&w, "main-file-list-max-db");
    // After a Normalize run: the levels drawn and the results window.
    dialogs.answers.push_back(out.path().string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
    save(&w, "main-after-run");
    save(w.results_view, "results");
    w.results_view->hide();
    // The same in a dark palette, as a dark desktop gives it.
    const QPalette light = QApplication::palette();
    QPalette dark(QColor(230, 230, 230), QColor(53, 53, 53), QColor(80, 80, 80), QColor(20, 20, 20), QColor(40, 40, 40),
                  QColor(230, 230, 230), Qt::white, QColor(35, 35, 35), QColor(53, 53, 53));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 45));
    dark.setColor(QPalette::Highlight, QColor(42, 110, 200));
    dark.setColor(QPalette::Link, QColor(100, 170, 255));
    QApplication::setPalette(dark);
    save(&w, "main-after-run-dark");
    QApplication::setPalette(light);
    ui::analyzeaudio->show_count(3, 8);
    save(ui::options, "options");
    ui::options->hide();
    save(ui::about, "about");
    ui::about->hide();
    ui::analyzeaudio->Label1->setText("Analyzing.........................");
    ui::analyzeaudio->Label2->setText(QString(46, 'n') + "...");
    save(ui::analyzeaudio, "analysis");
    ui::analyzeaudio->hide();
    ui::batchaudioc->Label1->setText("Adjust volume......");
    ui::batchaudioc->progresstotal->setValue(42);
    save(ui::batchaudioc, "progress");
    // The average level while the normalizer runs: no Cancel.
    ui::batchaudioc->Label1->setText("Analyze audio data......");
    ui::batchaudioc->progresstotal->setValue(33);
    ui::batchaudioc->Button1->setEnabled(false);
    save(ui::batchaudioc, "progress-normalizing");
    ui::batchaudioc->Button1->setEnabled(true);
    ui::batchaudioc->hide();
}

}  // namespace
}  // namespace sonorix::test
