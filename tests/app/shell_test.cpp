// The window's shell: forms and controls, menus, keys, drops, the options and
// about dialogs.
#include <clocale>

#include <QAction>
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/p_about.h"
#include "app/p_options.h"
#include "app/settings.h"
#include "app/step_button.h"
#include "app/web.h"
#include "base/FFLoad.h"
#include "app_fixture.h"
#include "workflow/source_types.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using ShellTest = AppTest;

std::vector<std::string> g_opened;
void record_opened(const std::string& page) { g_opened.push_back(page); }

// Drops files onto a page as the desktop would.
void drop(QWidget* page, const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &enter);
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &event);
}

TEST_F(ShellTest, MainWindowHasItsCaptionSizeAndNamedControls) {
    ui::Tmain& w = window();
    EXPECT_EQ(w.windowTitle(), "Sonorix V2.2.0");
    EXPECT_EQ(w.size(), ui::Tmain::kDesignClientSize + QSize(0, w.menuBar()->sizeHint().height()));
    EXPECT_LT(w.minimumSize().width(), w.maximumSize().width());  // it resizes
    EXPECT_EQ(QCoreApplication::applicationName(), "Sonorix");
    EXPECT_EQ(ui::Application.Title, "Sonorix");
    for (const char* name : {"RzPageControl1",
                             "TabSheet1",
                             "TabSheet2",
                             "BitBtn2",
                             "Memo1",
                             "Panel1",
                             "RadioButton1",
                             "Label3",
                             "NCTStepButton21",
                             "label_volume",
                             "BitBtn3",
                             "BitBtn4",
                             "Panel2",
                             "RadioButton2",
                             "Label2",
                             "bt_amplify",
                             "ListView1",
                             "Panel13",
                             "btn_add",
                             "btn_openfolder",
                             "btn_remove",
                             "btn_clear",
                             "Panel12",
                             "label_totalfiles",
                             "GroupBox1",
                             "radio_change",
                             "batch_spin_volume",
                             "radio_auto",
                             "radio_mix",
                             "BitBtn1",
                             "timer_ffdetect",
                             "timer_ffencoder",
                             "timer_ffdirectc",
                             "timer_callnormalizer",
                             "timer_mux",
                             "Timer_endmsg"}) {
        EXPECT_NE(w.findChild<QObject*>(name), nullptr) << name;
    }
    EXPECT_EQ(w.RzPageControl1->count(), 2);
    EXPECT_EQ(w.RzPageControl1->currentWidget(), w.TabSheet1);
    EXPECT_EQ(w.RzPageControl1->iconSize(), QSize(160, 65));
    EXPECT_EQ(w.BitBtn2->text(), "Load Audio or Video File");
    EXPECT_EQ(w.BitBtn2->toolTip(), "Add");
    EXPECT_EQ(w.RadioButton1->text(), "Volume Change ");
    EXPECT_TRUE(w.RadioButton1->isChecked());
    EXPECT_EQ(w.RadioButton2->text(), "Normalize");
    EXPECT_EQ(w.label_volume->text(), "100%");
    EXPECT_EQ(w.NCTStepButton21->Value(), 100);
    EXPECT_EQ(w.bt_amplify->text(), "Adjust Volume");
    EXPECT_TRUE(w.Memo1->isReadOnly());
    const QStringList columns = {"Files",           "Size",      "Time",  "Format", "Max-dB", "Peak (dBFS)",
                                 "Loudness (LUFS)", "Gain (dB)", "Result"};
    ASSERT_EQ(w.ListView1->columnCount(), 9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(w.ListView1->headerItem()->text(i), columns[i]);
    EXPECT_EQ(w.ListView1->toolTip(), "Drag video or audio files and drop here");
    EXPECT_EQ(w.btn_openfolder->toolTip(), "Add Files from Folder");
    EXPECT_EQ(w.GroupBox1->title(), "Volume Options");
    EXPECT_EQ(w.batch_spin_volume->minimum(), 0);
    EXPECT_EQ(w.batch_spin_volume->maximum(), 1000);
    EXPECT_EQ(w.batch_spin_volume->value(), 100);
    EXPECT_EQ(w.radio_mix->text(), "Adjust to Average Level");
    EXPECT_EQ(w.BitBtn1->text(), "Adjust Volume");
    EXPECT_TRUE(w.TabSheet1->acceptDrops());
    EXPECT_TRUE(w.TabSheet2->acceptDrops());
}

TEST_F(ShellTest, MenusHaveTheirItemsAndOpenTheirPages) {
    ui::Tmain& w = window();
    const auto menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), " File ");
    EXPECT_EQ(menus[1]->text(), " Help ");
    EXPECT_EQ(w.Options1->text(), "Options");
    EXPECT_EQ(w.Exit1->text(), "Exit");
    EXPECT_EQ(w.HelpContents1->text(), "Help Contents ");
    EXPECT_EQ(w.HelpContents1->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(w.BrellanOntheWeb1->text(), "Brellan on the Web");
    EXPECT_EQ(w.About1->text(), "About");

    g_opened.clear();
    ui::set_page_opener(record_opened);
    w.HelpContents1->trigger();
    w.BrellanOntheWeb1->trigger();
    ui::set_page_opener(nullptr);
    ASSERT_EQ(g_opened.size(), 2u);
    EXPECT_EQ(fs::path(g_opened[0]).filename(), "sonorix-help.html");
    EXPECT_EQ(g_opened[1], ui::kMakerHomePage);
    // The page the program opens is built beside it.
    EXPECT_TRUE(fs::exists(SONORIX_BUILT_HELP_PAGE));

    w.Options1->trigger();
    EXPECT_TRUE(ui::options->isVisible());
    ui::options->Button1->click();
    EXPECT_FALSE(ui::options->isVisible());
}

TEST_F(ShellTest, DeleteKeyRemovesFromTheListWhicheverPageIsShown) {
    ui::Tmain& w = window();
    w.show();
    QSignalSpy clicked(w.btn_remove, &QToolButton::clicked);
    w.RzPageControl1->setCurrentWidget(w.TabSheet1);
    w.bt_amplify->setFocus();
    QApplication::setActiveWindow(&w);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, Qt::Key_Delete);
    EXPECT_EQ(clicked.count(), 1);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, Qt::Key_A);
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(ShellTest, OptionsPrefixTakesOnlyItsCharacters) {
    QLineEdit* edit = ui::options->ed_prefix;
    EXPECT_EQ(ui::options->size(), QSize(392, 179));
    EXPECT_EQ(ui::options->windowTitle(), "Options");
    EXPECT_EQ(ui::options->Label1->text(), "Prefix of target files (Multiple files view) ");
    EXPECT_TRUE(edit->text().isEmpty());
    QTest::keyClicks(edit, "my prefix!");
    EXPECT_EQ(edit->text(), "myprefix");
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), "myprefi");
    QTest::keyClicks(edit, "x-_09AZaz#.");
    EXPECT_EQ(edit->text(), "myprefix-_09AZaz");
    edit->setText("");
    QTest::keyClicks(edit, "abcdefghijklmnopqrstu");
    EXPECT_EQ(edit->text(), "abcdefghijklmnopqrst");  // 20 at most
}

TEST_F(ShellTest, AboutShowsTheYearAndOpensTheHomePage) {
    EXPECT_EQ(ui::about->size(), QSize(318, 164));
    EXPECT_EQ(ui::about->windowTitle(), "About");
    ui::about->show();
    EXPECT_EQ(ui::about->Label8->text(), "Sonorix");
    EXPECT_TRUE(ui::about->Label8->font().bold());
    EXPECT_TRUE(ui::about->Label3->text().endsWith(QDate::currentDate().toString("yyyy")));
    EXPECT_EQ(ui::about->Label5->text(), ui::kMakerHomePage);
    EXPECT_TRUE(ui::about->Label5->font().underline());
    g_opened.clear();
    ui::set_page_opener(record_opened);
    QTest::mouseClick(ui::about->Label5, Qt::LeftButton);
    ui::set_page_opener(nullptr);
    EXPECT_EQ(g_opened, std::vector<std::string>{ui::kMakerHomePage});
    ui::about->Button1->click();
    EXPECT_FALSE(ui::about->isVisible());
}

TEST_F(ShellTest, DropsLoadMediaFilesAndSkipEverythingElse) {
    ui::Tmain& w = window();
    write_file(out / "notes.txt", "text");
    fs::create_directory(out / "folder.wav");
    drop(w.TabSheet1,
         {QString::fromStdString((out / "notes.txt").string()), QString::fromStdString((out / "folder.wav").string()),
          QString::fromStdString((out / "no_extension").string())});
    EXPECT_TRUE(w.single_flow().source_file.empty());
    EXPECT_TRUE(w.Memo1->toPlainText().isEmpty());

    // One audio and one video file: both load in turn, the second stays.
    drop(w.TabSheet1,
         {QString::fromStdString(media("short.wav").string()), QString::fromStdString(media("clip.mp4").string())});
    EXPECT_EQ(w.single_flow().source_file, media("clip.mp4").string());
    EXPECT_TRUE(w.Memo1->toPlainText().contains("clip.mp4"));

    // The list page hands each accepted file, whole however long, to the
    // list's add operation.
    const fs::path deep = out / std::string(60, 'd') / std::string(70, 'n');
    fs::create_directories(deep);
    fs::copy_file(media("short.wav"), deep / "a long name of a dropped file.wav");
    std::vector<std::string> added;
    w.list_add_file = [&](const std::string& file) { added.push_back(file); };
    drop(w.TabSheet2, {QString::fromStdString((deep / "a long name of a dropped file.wav").string()),
                       QString::fromStdString((out / "notes.txt").string())});
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0], (deep / "a long name of a dropped file.wav").string());
    EXPECT_GT(added[0].size(), 160u);
    EXPECT_EQ(w.single_flow().source_file, media("clip.mp4").string());

    // A long path dropped onto the single-file page loads as it is.
    drop(w.TabSheet1, {QString::fromStdString((deep / "a long name of a dropped file.wav").string())});
    EXPECT_EQ(w.single_flow().source_file, (deep / "a long name of a dropped file.wav").string());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(ShellTest, FilesGivenToTheProgramOpenLikeADrop) {
    ui::Tmain& w = window();
    write_file(out / "notes.txt", "text");
    const QString wav = QString::fromStdString(media("short.wav").string());
    const QString mp4 = QString::fromStdString(media("clip.mp4").string());
    const QString notes = QString::fromStdString((out / "notes.txt").string());

    // One media file (whatever else is given) loads on the single-file page.
    w.RzPageControl1->setCurrentWidget(w.TabSheet2);
    w.open_files({notes, mp4});
    EXPECT_EQ(w.RzPageControl1->currentWidget(), w.TabSheet1);
    EXPECT_EQ(w.single_flow().source_file, media("clip.mp4").string());
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);

    // Several go into the list, which is shown; the single file stays.
    w.open_files({wav, notes, mp4});
    wait_for_list();
    EXPECT_EQ(w.RzPageControl1->currentWidget(), w.TabSheet2);
    ASSERT_EQ(w.ListView1->topLevelItemCount(), 2);
    EXPECT_EQ(w.ListView1->topLevelItem(0)->text(0), wav);
    EXPECT_EQ(w.ListView1->topLevelItem(1)->text(0), mp4);
    EXPECT_EQ(w.single_flow().source_file, media("clip.mp4").string());
    EXPECT_TRUE(messages.shown.empty());

    // Relative names are the working folder's; file: addresses are paths.
    const QString cwd = QDir::currentPath();
    EXPECT_EQ(ui::command_line_files({"a b.wav", "/x/y.mp3", "file:///x/z%20z.ogg", "sub/../c.flac"}),
              (QStringList{cwd + "/a b.wav", "/x/y.mp3", "/x/z z.ogg", cwd + "/c.flac"}));
}

TEST_F(ShellTest, StepControlRaisesItsEventOnlyForTheUser) {
    ui::Tmain& w = window();
    w.NCTStepButton21->SetValue(150);
    EXPECT_EQ(w.label_volume->text(), "100%");  // set from code: no event
    QTest::keyClick(w.NCTStepButton21, Qt::Key_Up);
    EXPECT_EQ(w.NCTStepButton21->Value(), 151);
    EXPECT_EQ(w.label_volume->text(), "151%");
    w.NCTStepButton21->SetValue(1000);
    QTest::keyClick(w.NCTStepButton21, Qt::Key_Up);
    EXPECT_EQ(w.NCTStepButton21->Value(), 1000);
}

TEST_F(ShellTest, VolumeStepButtonsStayWithinTheirBounds) {
    ui::Tmain& w = window();
    w.BitBtn3->click();
    EXPECT_EQ(w.label_volume->text(), "99%");
    w.NCTStepButton21->SetValue(0);
    w.BitBtn3->click();
    EXPECT_EQ(w.NCTStepButton21->Value(), 0);
    w.NCTStepButton21->SetValue(1000);
    w.BitBtn4->click();
    EXPECT_EQ(w.NCTStepButton21->Value(), 1000);
    w.NCTStepButton21->SetValue(999);
    w.BitBtn4->click();
    EXPECT_EQ(w.NCTStepButton21->Value(), 1000);
    EXPECT_EQ(w.label_volume->text(), "1000%");
}

TEST_F(ShellTest, MissingLibrariesAreToldOnceAndTheWindowStillOpens) {
    ui::free_forms();
    TFFLoader& loader = TFFLoader::Instance();
    loader.Unload(kEncoderLibraries);
    loader.Status(liAVFilter).FileName = "libsonorix-not-there.so";
    ui::create_forms();
    loader.Status(liAVFilter).FileName.clear();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "load DLL error!");
    EXPECT_EQ(messages.shown[0].caption, "");
    EXPECT_EQ(messages.shown[0].kind, ui::MessageKind::Error);
    // The steps after the loading were skipped: no value, no drops.
    EXPECT_NE(window().NCTStepButton21->Value(), 100);
    EXPECT_FALSE(window().TabSheet1->acceptDrops());
    drop(window().TabSheet1, {QString::fromStdString(media("short.wav").string())});
    window().open_files({QString::fromStdString(media("short.wav").string())});
    EXPECT_TRUE(window().single_flow().source_file.empty());

    // Nor does it overwrite the remembered settings with its unset controls.
    auto settings = [] {
        QFile file(ui::settings_file());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray kept = settings();
    ui::free_forms();
    EXPECT_FALSE(kept.isEmpty());
    EXPECT_EQ(settings(), kept);
    ASSERT_TRUE(loader.Load(kEncoderLibraries)) << loader.LastErrorMessage();
    ui::create_forms();
}

TEST_F(ShellTest, NumbersKeepTheirDotUnderAnyUserLocale) {
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        GTEST_SKIP() << "no locale with a decimal comma on this machine";
    }
    ui::free_forms();
    ui::create_forms();
    EXPECT_STREQ(std::localeconv()->decimal_point, ".");
}

TEST(RealDialogs, MessageBoxKeepsCaptionIconAndAnswer) {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    when_shown<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->button(QMessageBox::No)->click();
    });
    const int answer = ui::MessageBoxA(nullptr, "x.wav already exists.\rDo you want to replace it?", "Confirm",
                                       ui::MB_ICONQUESTION | ui::MB_YESNO);
    EXPECT_EQ(answer, ui::IDNO);
    EXPECT_EQ(title, "Confirm");
    EXPECT_EQ(text, "x.wav already exists.\nDo you want to replace it?");
    EXPECT_EQ(icon, QMessageBox::Question);

    when_shown<QMessageBox>([&](QMessageBox* box) {
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(ui::MessageBoxA(nullptr, "load DLL error!", "", ui::MB_ICONERROR), ui::IDOK);
    EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST(RealDialogs, SaveDialogAddsTheExtensionOfTheChosenFormat) {
    TempDir dir("sonorix-save-dialog");
    ui::TFileDialog save(ui::TFileDialog::Save);
    save.Filter = "*.MP3|*.mp3|*.WAV|*.wav|";
    save.DefaultExt = "mp3";
    save.InitialDir = dir.path().string();
    QStringList filters;
    when_shown<QFileDialog>([&](QFileDialog* dialog) {
        filters = dialog->nameFilters();
        dialog->selectNameFilter(filters.value(1));
        dialog->selectFile("new");
        static_cast<QDialog*>(dialog)->accept();
    });
    ASSERT_TRUE(save.Execute(nullptr));
    EXPECT_EQ(filters, QStringList({"*.MP3 (*.MP3 *.mp3)", "*.WAV (*.WAV *.wav)"}));
    EXPECT_EQ(save.FileName, (dir / "new.wav").string());
    EXPECT_EQ(save.FilterIndex, 2);

    when_shown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(save.Execute(nullptr));
}

TEST(RealDialogs, OpenDialogShowsMediaFilesInAnyLetterCase) {
    TempDir dir("sonorix-open-dialog");
    for (const char* name : {"a.Wav", "b.MP3", "c.mkv", "d.txt"}) write_file(dir / name, "x");
    ui::TFileDialog open(ui::TFileDialog::Open);
    open.Filter = source_file_filter();
    open.InitialDir = dir.path().string();
    QStringList listed;
    when_shown<QFileDialog>([&](QFileDialog* dialog) {
        auto* model = dialog->findChild<QFileSystemModel*>();
        ASSERT_NE(model, nullptr);
        const auto list = [&] {
            listed.clear();
            const QModelIndex root = model->index(dialog->directory().absolutePath());
            for (int i = 0; i < model->rowCount(root); ++i) {
                const QModelIndex item = model->index(i, 0, root);
                if (model->flags(item) & Qt::ItemIsEnabled) listed << model->fileName(item);
            }
        };
        (void)QTest::qWaitFor(
            [&] {
                list();
                return listed.size() >= 3;
            },
            5000);
        QTest::qWait(50);
        list();
        dialog->reject();
    });
    EXPECT_FALSE(open.Execute(nullptr));
    listed.sort();
    EXPECT_EQ(listed, QStringList({"a.Wav", "b.MP3", "c.mkv"}));
}

TEST(FileDialogFilters, MatchBothLetterCasesAndAddTheChosenExtension) {
    const QStringList filters = ui::qt_name_filters("Audio Files|*.WAV;*.MP3;|Video Files|*.AVI;|");
    ASSERT_EQ(filters.size(), 2);
    EXPECT_EQ(filters[0], "Audio Files (*.WAV *.wav *.MP3 *.mp3)");
    EXPECT_EQ(filters[1], "Video Files (*.AVI *.avi)");
    EXPECT_EQ(ui::qt_name_filters("*.MP3|*.mp3|").first(), "*.MP3 (*.MP3 *.mp3)");
    EXPECT_EQ(ui::with_default_extension("/o/new", "*.wav", "mp3"), "/o/new.wav");
    EXPECT_EQ(ui::with_default_extension("/o/new", "", "mp3"), "/o/new.mp3");
    EXPECT_EQ(ui::with_default_extension("/o/new.ogg", "*.wav", "mp3"), "/o/new.ogg");
}

}  // namespace
}  // namespace sonorix::test
