// The results window after a run: per file its status, levels, gain and
// target, the output folder opened and the table saved as CSV.
#include <fstream>

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>

#include "app/results_view.h"
#include "app/web.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using ResultsTest = AppTest;

std::string opened_page;
void remember_page(const std::string& page) { opened_page = page; }

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ResultsCsv, QuotesOnlyTheFieldsThatNeedItAndEndsLinesWithCrLf) {
    const struct {
        ui::ResultRow row;
        std::string line;
    } cases[] = {
        {{"/m/a.wav", "converted", "", -6.0, 6.0, -0.04, "/o/a.wav"}, "/m/a.wav,converted,-6.0,6.0,-0.0,/o/a.wav"},
        {{"/m/b, live.mp3", "skipped", "within 0.5 dB", -1.0, 0.2, {}, ""},
         "\"/m/b, live.mp3\",skipped: within 0.5 dB,-1.0,0.2,,"},
        {{"/m/say \"hi\".wav", "failed", "line one\nline two", {}, {}, {}, ""},
         "\"/m/say \"\"hi\"\".wav\",\"failed: line one\nline two\",,,,"},
    };
    for (const auto& c : cases) {
        ui::RunResults results;
        results.level_unit = "LUFS";
        results.rows = {c.row};
        EXPECT_EQ(ui::results_csv(results),
                  "File,Status,Level before (LUFS),Gain (dB),Level after (LUFS),Target\r\n" + c.line + "\r\n");
    }
}

// Two rows into dest, where a folder holds the first one's target name: it
// fails, the other is converted, and the window says which and why.
TEST_F(ResultsTest, AListRunWithOneFailedRowShowsEachFilesOutcome) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    fs::create_directories(out / "a");
    fs::copy_file(media("short.wav"), out / "a" / "x.wav");
    fs::copy_file(media("short.wav"), out / "a" / "y.wav");
    fs::create_directories(dest / "x.wav" / "inside");
    for (const char* name : {"x.wav", "y.wav"}) w.add_file_b((out / "a" / name).string());
    wait_for_list();
    w.radio_change->setChecked(true);
    w.batch_spin_volume->setValue(200);
    messages.answers = {ui::MessageAnswer::Yes};  // replace what is there
    dialogs.answers.push_back(dest.string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));

    auto* heading = w.results_view->findChild<QLabel*>("results_heading");
    auto* table = w.results_view->findChild<QTableWidget*>("results_table");
    ASSERT_TRUE(heading && table);
    EXPECT_EQ(heading->text(), "Process is finished with errors!");
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_TRUE(table->item(0, 1)->text().startsWith("failed: ")) << table->item(0, 1)->text().toStdString();
    EXPECT_EQ(table->item(0, 5)->text(), "");
    EXPECT_EQ(table->item(1, 1)->text(), "converted");
    EXPECT_EQ(table->item(1, 3)->text(), "6.0");  // 200 %
    EXPECT_EQ(table->item(1, 5)->text().toStdString(), (dest / "y.wav").string());
    EXPECT_NEAR(measure_audio(dest / "y.wav").peak_db - measure_audio(out / "a" / "y.wav").peak_db, 6.02, 0.05);

    ui::set_page_opener(remember_page);
    w.results_view->findChild<QPushButton*>("results_open_folder")->click();
    EXPECT_EQ(opened_page, dest.string());
    dialogs.answers.push_back((out / "results.csv").string());
    w.results_view->findChild<QPushButton*>("results_save_csv")->click();
    const std::string csv = read_text(out / "results.csv");
    EXPECT_EQ(csv, ui::results_csv(w.results_view->results()));
    EXPECT_NE(csv.find("\r\n" + (out / "a" / "y.wav").string() + ",converted,,6.0,,"), std::string::npos) << csv;
    ui::set_page_opener(nullptr);
}

// Normalize on the single page: the level before, the gain, and the heading
// of a run without a failure.
TEST_F(ResultsTest, TheSinglePageShowsItsFileAfterTheRun) {
    ui::Tmain& w = window();
    ASSERT_TRUE(convert(media("short.wav"), out / "loud.wav", true));
    auto* table = w.results_view->findChild<QTableWidget*>("results_table");
    ASSERT_TRUE(w.results_view->isVisible());
    EXPECT_EQ(w.results_view->findChild<QLabel*>("results_heading")->text(), "Process is finished!");
    ASSERT_EQ(table->rowCount(), 1);
    const std::vector<QString> row = {table->item(0, 1)->text(), table->item(0, 2)->text(), table->item(0, 3)->text(),
                                      table->item(0, 5)->text()};
    EXPECT_EQ(row,
              (std::vector<QString>{"converted", "-6.0", "6.0", QString::fromStdString((out / "loud.wav").string())}));
}

}  // namespace
}  // namespace sonorix::test
