// The list page's file list: adding from the open dialog, a folder and
// drops, the probe's cells and refusals, removing and clearing, the volume
// field.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app_fixture.h"
#include "workflow/batch_list.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using BatchListTest = AppTest;

std::vector<std::string> rows(ui::Tmain& w) {
    std::vector<std::string> out;
    for (int i = 0; i < w.ListView1->topLevelItemCount(); ++i) {
        out.push_back(w.ListView1->topLevelItem(i)->text(0).toStdString());
    }
    return out;
}

int selected_row(ui::Tmain& w) {
    const auto selected = w.ListView1->selectedItems();
    return selected.isEmpty() ? -1 : w.ListView1->indexOfTopLevelItem(selected.front());
}

TEST_F(BatchListTest, OpenDialogAddsEveryChosenFileWithItsCells) {
    ui::Tmain& w = window();
    write_file(out / "broken.mp3", "not a media file at all");
    const std::string broken = (out / "broken.mp3").string();
    dialogs.answers.push_back(media("short.wav").string() + "\n" + broken + "\n" + media("clip.mp4").string() + "\n" +
                              media("short.wav").string() + "\n" + media("silent_video.mp4").string());
    w.btn_add->click();
    wait_for_list();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].filter, list_file_filter());
    EXPECT_EQ(dialogs.asked[0].filter.rfind("Video and Audio Files|*.AVI;", 0), 0u);
    EXPECT_EQ(dialogs.asked[0].filter_index, 1);

    // The same file twice gives two rows; the refused ones are gone again.
    EXPECT_EQ(rows(w), (std::vector<std::string>{media("short.wav").string(), media("clip.mp4").string(),
                                                 media("short.wav").string()}));
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[0].text, "File load error: " + broken);
    EXPECT_EQ(messages.shown[0].caption, "");
    EXPECT_EQ(messages.shown[0].kind, ui::MessageKind::Error);
    EXPECT_EQ(messages.shown[1].text, "No audio stream: " + media("silent_video.mp4").string());
    EXPECT_EQ(w.label_totalfiles->text(), "3 Files");

    QTreeWidgetItem* wav = w.ListView1->topLevelItem(0);
    EXPECT_EQ(wav->text(1).toStdString(), list_size_text(static_cast<int64_t>(fs::file_size(media("short.wav")))));
    EXPECT_EQ(wav->text(2), "00:00:02.000");
    EXPECT_EQ(wav->text(3).toStdString(), "PCM 16-bit \u00b7 44.1 kHz \u00b7 stereo");
    EXPECT_EQ(wav->text(4), "");
    EXPECT_TRUE(w.ListView1->topLevelItem(1)->text(3).startsWith("H.264 \u00b7 "));  // the video's codec first

    // Cancelling adds nothing.
    w.btn_add->click();
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 3);
}

TEST_F(BatchListTest, FolderAddsItsOwnMediaFilesAndIsRemembered) {
    ui::Tmain& w = window();
    fs::create_directories(out / "in" / "sub");
    fs::copy_file(media("short.wav"), out / "in" / "a.wav");
    fs::copy_file(media("clip.mkv"), out / "in" / "b.mkv");
    fs::copy_file(media("short.wav"), out / "in" / "sub" / "deep.wav");
    write_file(out / "in" / "notes.txt", "x");
    dialogs.answers.push_back("  " + (out / "in").string() + "  ");
    w.btn_openfolder->click();
    wait_for_list();
    auto added = rows(w);
    std::sort(added.begin(), added.end());
    EXPECT_EQ(added, (std::vector<std::string>{(out / "in" / "a.wav").string(), (out / "in" / "b.mkv").string()}));
    EXPECT_EQ(w.add_folder, (out / "in").string() + "/");

    // The chooser opens on the last folder; a cancelled or missing one adds
    // nothing.
    w.btn_openfolder->click();
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[1].kind, ui::TFileDialog::Folder);
    EXPECT_EQ(dialogs.asked[1].initial_folder, (out / "in").string() + "/");
    dialogs.answers.push_back((out / "missing").string());
    w.btn_openfolder->click();
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 2);
    EXPECT_TRUE(messages.shown.empty());
    dialogs.answers.push_back(std::string("/"));  // the root: no doubled separator
    w.btn_openfolder->click();
    EXPECT_EQ(w.add_folder, "/");
}

TEST_F(BatchListTest, RemovingSelectsANeighbourAndClearingEmpties) {
    ui::Tmain& w = window();
    for (int i = 0; i < 3; ++i) w.add_file_b(media("short.wav").string());
    wait_for_list();
    EXPECT_EQ(selected_row(w), 2);
    w.btn_remove->click();
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 2);
    EXPECT_EQ(selected_row(w), 1);  // the new last row
    w.ListView1->setCurrentItem(w.ListView1->topLevelItem(0));
    w.btn_remove->click();
    EXPECT_EQ(selected_row(w), 0);
    w.btn_remove->click();
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);
    EXPECT_EQ(selected_row(w), -1);
    EXPECT_EQ(w.label_totalfiles->text(), "0 Files");
    w.btn_remove->click();  // nothing selected: nothing happens

    w.add_file_b(media("short.wav").string());
    wait_for_list();
    w.add_file_b(media("clip.mp4").string());
    wait_for_list();
    w.btn_clear->click();
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);
    EXPECT_EQ(w.label_totalfiles->text(), "0 Files");
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(BatchListTest, AFileDeletedAfterAddingIsRefusedWhenSelectedAndWritingCellsProbesNothing) {
    ui::Tmain& w = window();
    const fs::path gone = out / "gone.wav";
    fs::copy_file(media("short.wav"), gone);
    w.add_file_b(gone.string());
    wait_for_list();
    w.add_file_b(media("short.wav").string());
    wait_for_list();
    fs::remove(gone);
    // Writing a cell of the row is no selection: no probe, no message.
    w.ListView1->topLevelItem(0)->setText(4, "1.0");
    EXPECT_TRUE(messages.shown.empty());
    w.ListView1->setCurrentItem(w.ListView1->topLevelItem(0));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "File load error: " + gone.string());
    EXPECT_EQ(rows(w), std::vector<std::string>{media("short.wav").string()});
    EXPECT_EQ(w.label_totalfiles->text(), "2 Files");  // a refused row keeps the count as it was
}

// Clear drops the files still being probed: none arrives afterwards.
TEST_F(BatchListTest, ClearDropsFilesStillBeingAdded) {
    ui::Tmain& w = window();
    for (int i = 0; i < 50; ++i) w.list_add_file(media("short.wav").string());
    ASSERT_TRUE(w.adding_files());
    w.btn_clear->click();
    EXPECT_FALSE(w.adding_files());
    pump(std::chrono::milliseconds(300));
    EXPECT_EQ(w.ListView1->topLevelItemCount(), 0);
    EXPECT_EQ(w.label_totalfiles->text(), "0 Files");
    w.list_add_file(media("clip.mp4").string());  // adding goes on afterwards
    wait_for_list();
    EXPECT_EQ(rows(w), std::vector<std::string>{media("clip.mp4").string()});
    EXPECT_EQ(w.label_totalfiles->text(), "1 Files");
}

TEST_F(BatchListTest, DroppedFilesJoinTheList) {
    ui::Tmain& w = window();
    w.list_add_file(media("clip.mkv").string());
    wait_for_list();
    EXPECT_EQ(rows(w), std::vector<std::string>{media("clip.mkv").string()});
}

TEST_F(BatchListTest, VolumeFieldTakesDigitsAndIsPulledIntoItsRange) {
    ui::Tmain& w = window();
    w.show();
    QApplication::setActiveWindow(&w);
    QSpinBox* spin = w.batch_spin_volume;
    auto* edit = spin->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    struct Case {
        const char* typed;
        const char* shown;
        int value;
    };
    for (const Case& c : {Case{"5000", "1000", 1000}, Case{"1a5-0", "150", 150}, Case{"", "0", 0}}) {
        SCOPED_TRACE(c.typed);
        spin->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(spin, c.typed);
        w.BitBtn1->setFocus();  // leaving the field
        EXPECT_EQ(spin->text(), c.shown);
        EXPECT_EQ(spin->value(), c.value);
    }
}

// The real chooser opens on the given folder, shows folders only and keeps
// the other windows from input while it is open.
TEST(RealDialogs, FolderChooserOpensOnTheFolder) {
    TempDir dir("sonorix-folder-dialog");
    fs::create_directories(dir / "start" / "pick");
    std::string folder = (dir / "start").string();
    QString opened_on;
    bool folders_only = false;
    Qt::WindowModality modality = Qt::NonModal;
    when_shown<QFileDialog>([&](QFileDialog* dialog) {
        opened_on = dialog->directory().absolutePath();
        folders_only = dialog->fileMode() == QFileDialog::Directory && dialog->testOption(QFileDialog::ShowDirsOnly);
        modality = dialog->windowModality();
        dialog->setDirectory(QString::fromStdString((dir / "start" / "pick").string()));
        static_cast<QDialog*>(dialog)->accept();
    });
    ASSERT_TRUE(ui::choose_folder(nullptr, "Where to?", folder));
    EXPECT_EQ(opened_on.toStdString(), (dir / "start").string());
    EXPECT_TRUE(folders_only);
    EXPECT_EQ(modality, Qt::ApplicationModal);
    EXPECT_EQ(fs::path(folder), dir / "start" / "pick");
    when_shown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(ui::choose_folder(nullptr, "", folder));
}

}  // namespace
}  // namespace sonorix::test
