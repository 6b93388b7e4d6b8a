// The window by keyboard and in the desktop's palette: the shortcuts act on
// the page shown, Tab follows the layouts, controls have names, text stays
// readable on a dark palette; folders with their sub-folders; the average
// level's run fills the list's columns, which fit the window.
#include <cstdlib>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app/levels_view.h"
#include "app/p_about.h"
#include "app/results_view.h"
#include "app/step_button.h"
#include "app/web.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"
#include "workflow/batch_list.h"
#include "workflow/source_types.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using KeyboardPaletteTest = AppTest;

std::vector<std::string> g_opened;
void record_opened(const std::string& page) { g_opened.push_back(page); }

void drop(QWidget* page, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &enter);
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &event);
}

std::vector<std::string> rows(const ui::Tmain& w) {
    std::vector<std::string> texts;
    for (int i = 0; i < w.ListView1->topLevelItemCount(); ++i)
        texts.push_back(w.ListView1->topLevelItem(i)->text(0).toStdString());
    return texts;
}

TEST_F(KeyboardPaletteTest, ShortcutsActOnThePageShown) {
    ui::Tmain& w = window();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    ui::set_page_opener(record_opened);
    const struct {
        QWidget* page;
        int key;
        Qt::KeyboardModifiers modifiers;
        std::string filter;   // of the open dialog asked, if one
        std::string message;  // shown, if one
        bool help;
    } cases[] = {
        {w.TabSheet1, Qt::Key_O, Qt::ControlModifier, source_file_filter(), "", false},
        {w.TabSheet2, Qt::Key_O, Qt::ControlModifier, list_file_filter(), "", false},
        {w.TabSheet1, Qt::Key_Return, Qt::ControlModifier, "", "Please load file at first!", false},
        {w.TabSheet2, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier, "", "Please add file at first!", false},
        {w.TabSheet2, Qt::Key_F1, Qt::NoModifier, "", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page->objectName().toStdString() + " " +
                     QKeySequence(c.key | c.modifiers).toString().toStdString());
        w.RzPageControl1->setCurrentWidget(c.page);
        dialogs.asked.clear();
        messages.shown.clear();
        g_opened.clear();
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, static_cast<Qt::Key>(c.key),
                        c.modifiers);
        ASSERT_EQ(dialogs.asked.size(), c.filter.empty() ? 0u : 1u);
        if (!c.filter.empty()) {
            EXPECT_EQ(dialogs.asked[0].filter, c.filter);
        }
        ASSERT_EQ(messages.shown.size(), c.message.empty() ? 0u : 1u);
        if (!c.message.empty()) {
            EXPECT_EQ(messages.shown[0].text, c.message);
        }
        EXPECT_EQ(g_opened.size(), c.help ? 1u : 0u);
    }
    ui::set_page_opener(nullptr);
}

TEST_F(KeyboardPaletteTest, TabFollowsTheLayoutsAndEveryControlHasAName) {
    ui::Tmain& w = window();
    // In reading order; controls between them may come and go.
    const std::vector<QWidget*> expected = {
        w.RzPageControl1->tabBar(),
        w.BitBtn2,
        w.Memo1,
        w.RadioButton1,
        w.NCTStepButton21,
        w.BitBtn3,
        w.BitBtn4,
        w.RadioButton2,
        w.radio_loudness_single,
        w.spin_loudness_single,
        w.bt_amplify,
        w.ListView1,
        w.btn_add,
        w.btn_openfolder,
        w.btn_remove,
        w.btn_clear,
        w.check_subfolders,
        w.radio_change,
        w.batch_spin_volume,
        w.radio_auto,
        w.radio_mix,
        w.radio_loudness,
        w.batch_spin_loudness,
        w.check_album,
        w.check_skip,
        w.spin_skip,
        w.BitBtn1,
    };
    std::vector<QWidget*> seen;
    QWidget* at = expected.front();
    for (int i = 0; i < 1000 && seen.size() < expected.size(); ++i, at = at->nextInFocusChain()) {
        for (QWidget* e : expected) {
            if ((at == e || at == e->focusProxy()) && std::find(seen.begin(), seen.end(), e) == seen.end())
                seen.push_back(e);
        }
    }
    auto names = [](const std::vector<QWidget*>& widgets) {
        std::vector<std::string> n;
        for (QWidget* x : widgets) n.push_back(x->objectName().toStdString());
        return n;
    };
    EXPECT_EQ(names(seen), names(expected));

    QList<QWidget*> controls = ui::focus_chain(w.TabSheet1) + ui::focus_chain(w.TabSheet2);
    controls << w.levels_view;
    for (QWidget* c : controls) {
        auto* button = qobject_cast<QAbstractButton*>(c);
        if (button && !button->text().trimmed().isEmpty()) continue;
        EXPECT_FALSE(c->accessibleName().isEmpty()) << c->objectName().toStdString();
    }
    for (int tab = 0; tab < w.RzPageControl1->count(); ++tab)
        EXPECT_FALSE(w.RzPageControl1->tabBar()->accessibleTabName(tab).isEmpty());
}

// How far the most distinct pixel of picture stands from background, in
// grey levels; transparent pixels do not count.
int contrast(const QImage& picture, const QColor& background) {
    int most = 0;
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) > 128) most = std::max(most, std::abs(qGray(p) - qGray(background.rgb())));
        }
    }
    return most;
}

TEST_F(KeyboardPaletteTest, TextStaysReadableInALightAndADarkPalette) {
    ui::Tmain& w = window();
    const QPalette light = QApplication::palette();
    QPalette dark(QColor(230, 230, 230), QColor(53, 53, 53), QColor(80, 80, 80), QColor(20, 20, 20), QColor(40, 40, 40),
                  QColor(230, 230, 230), Qt::white, QColor(35, 35, 35), QColor(53, 53, 53));
    dark.setColor(QPalette::Link, QColor(100, 170, 255));
    for (const QPalette& palette : {light, dark}) {
        QApplication::setPalette(palette);
        pump(std::chrono::milliseconds(20));
        const QColor window = palette.color(QPalette::Window);
        // The tab's name, right of its glyph.
        const QImage tab_name = w.RzPageControl1->tabIcon(1).pixmap(QSize(160, 65)).toImage().copy(52, 0, 108, 65);
        const struct {
            const char* what;
            QImage picture;
            QColor background;
        } cases[] = {
            {"note", w.findChild<QLabel*>("Label4")->grab().toImage(), window},
            {"tab name", tab_name, window},
            {"step arrows", w.NCTStepButton21->grab().toImage(), palette.color(QPalette::Button)},
            {"about link", ui::about->Label5->grab().toImage(), window},
        };
        for (const auto& c : cases) {
            EXPECT_GT(contrast(c.picture, c.background), 75) << c.what << (&palette == &light ? " light" : " dark");
        }
    }
    QApplication::setPalette(light);
}

TEST_F(KeyboardPaletteTest, FoldersAddTheirSubFoldersFilesSortedByPath) {
    ui::Tmain& w = window();
    const fs::path root = out / "music";
    fs::create_directories(root / "a" / "sub");
    for (const fs::path& p : {root / "b.wav", root / "a" / "c.wav", root / "a" / "sub" / "d.wav"})
        fs::copy_file(media("short.wav"), p);
    write_file(root / "notes.txt", "text");
    const std::vector<std::string> top = {(root / "b.wav").string()};
    const std::vector<std::string> all = {(root / "a" / "c.wav").string(), (root / "a" / "sub" / "d.wav").string(),
                                          (root / "b.wav").string()};
    const struct {
        bool subfolders, dropped;
        std::vector<std::string> rows;
    } cases[] = {{false, false, top}, {true, false, all}, {false, true, top}, {true, true, all}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dropped ? "dropped" : "Folder") + (c.subfolders ? " with sub-folders" : ""));
        w.btn_clear->click();
        w.check_subfolders->setChecked(c.subfolders);
        if (c.dropped) {
            drop(w.TabSheet2, QString::fromStdString(root.string()));
        } else {
            dialogs.answers.push_back(root.string());
            w.btn_openfolder->click();
        }
        wait_for_list();
        EXPECT_EQ(rows(w), c.rows);
    }
    EXPECT_TRUE(messages.shown.empty());
}

// One file: the normalizer leaves it alone, a gain of 0 dB. Two: each its
// peak read back, the louder lowered and the quieter raised to meet.
TEST_F(KeyboardPaletteTest, AverageLevelFillsTheListsColumnsWhichFitTheWindow) {
    ::setenv("SONORIX_NORMALIZER", SONORIX_NORMALIZE, 1);
    ui::Tmain& w = window();
    w.show();
    w.RzPageControl1->setCurrentWidget(w.TabSheet2);
    const struct {
        std::vector<double> peaks;
        std::vector<double> gains;
    } cases[] = {{{-6}, {0}}, {{-3, -15}, {-6, 6}}};
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peaks.size());
        w.btn_clear->click();
        for (int column = ui::Tmain::kPeakColumn; column <= ui::Tmain::kResultColumn; ++column)
            EXPECT_TRUE(w.ListView1->isColumnHidden(column));
        fs::create_directories(out / ("in" + std::to_string(run)));
        for (size_t i = 0; i < c.peaks.size(); ++i) {
            MediaSpec tone;
            tone.peak_db = c.peaks[i];
            tone.duration_seconds = 1;
            w.add_file_b(
                make_media(out / ("in" + std::to_string(run)) / ("t" + std::to_string(i) + ".wav"), tone).string());
        }
        wait_for_list();
        w.radio_mix->setChecked(true);
        const fs::path dest = out / ("dest" + std::to_string(run++));
        fs::create_directories(dest);
        dialogs.answers.push_back(dest.string());
        messages.shown.clear();
        w.BitBtn1->click();
        ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
        ASSERT_TRUE(finish_shown());
        const std::vector<ui::LevelBar>& bars = w.levels_view->bars();
        ASSERT_EQ(bars.size(), c.peaks.size());
        for (size_t i = 0; i < c.peaks.size(); ++i) {
            const QTreeWidgetItem* row = w.ListView1->topLevelItem(static_cast<int>(i));
            EXPECT_NEAR(row->text(ui::Tmain::kPeakColumn).toDouble(), c.peaks[i], 0.15);
            EXPECT_LT(row->text(ui::Tmain::kLoudnessColumn).toDouble(), c.peaks[i]);
            const QString gain = row->text(ui::Tmain::kGainColumn);
            ASSERT_FALSE(gain.isEmpty());
            EXPECT_NEAR(gain.toDouble(), c.gains[i], 0.5);
            EXPECT_EQ(row->text(ui::Tmain::kResultColumn), "converted");
            ASSERT_TRUE(bars[i].peak_before && bars[i].peak_after);
            EXPECT_NEAR(*bars[i].peak_after - *bars[i].peak_before, gain.toDouble(), 0.05);
            EXPECT_TRUE(w.results_view->results().rows[i].gain.has_value());
        }
        // Every column whole at the design size, the file column too.
        int others = 0;
        for (int column = 1; column < w.ListView1->columnCount(); ++column) {
            EXPECT_FALSE(w.ListView1->isColumnHidden(column)) << column;
            others += w.ListView1->columnWidth(column);
        }
        EXPECT_LE(others + 100, w.ListView1->viewport()->width());
        w.results_view->hide();
    }
    ::unsetenv("SONORIX_NORMALIZER");
}

}  // namespace
}  // namespace sonorix::test
