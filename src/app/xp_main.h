// The main window: the single-file page and the list page, the menus, drops,
// the Delete key, moving the window by its surfaces, and the list's rows
// (adding, probing the selected one, removing). The workflows are its flows:
// the single file's, the list's and the average level's, with the measuring
// component the first two share; each owns its components and timers.
//
// Threads: everything here runs on the main thread. The engine's events
// arrive through its main-thread queue, which the Qt loop drains; a flow
// continues from an event only through a 2 ms one-shot timer.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QList>
#include <QMainWindow>
#include <QSize>
#include <QStringList>

#include "app/average_level_flow.h"
#include "app/dialogs.h"
#include "app/level_meter.h"
#include "app/list_flow.h"
#include "app/single_file_flow.h"
#include "app/tags_flow.h"
#include "engine/FFEncode.h"

class QAction;
class QCheckBox;
class QDoubleSpinBox;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace sonorix::ui {

class TNCTStepButton2;
class Tresults;
class LevelsView;
class ListAdder;

// The controls of page the Tab key visits, in the order of its layouts.
QList<QWidget*> focus_chain(QWidget* page);

// The folder the media libraries are first looked for in.
extern std::string library_folder;

class Tmain : public QMainWindow {
public:
    explicit Tmain(QWidget* parent = nullptr);
    ~Tmain() override;

    // Columns of a list row: its caption, then the cells.
    static constexpr int kSizeColumn = 1;
    static constexpr int kTimeColumn = 2;
    static constexpr int kFormatColumn = 3;
    static constexpr int kMaxDbColumn = 4;
    // After a run: the main track's measured peak and loudness, the gain it
    // got and what became of the file.
    static constexpr int kPeakColumn = 5;
    static constexpr int kLoudnessColumn = 6;
    static constexpr int kGainColumn = 7;
    static constexpr int kResultColumn = 8;
    // The client area it opens with, and the smallest that shows every
    // control whole.
    static constexpr QSize kDesignClientSize{818, 541};
    static constexpr QSize kMinimumClientSize{716, 541};
    // The skip threshold the list page offers first, dB.
    static constexpr double kDefaultSkipWithin = 0.5;

    TFileDialog OpenDialog1{TFileDialog::Open};
    TFileDialog SaveDialog1{TFileDialog::Save};

    // The page control and the single-file page.
    QTabWidget* RzPageControl1 = nullptr;
    QWidget* TabSheet1;
    QPushButton* BitBtn2;
    QPlainTextEdit* Memo1;
    QFrame* Panel1;
    QRadioButton* RadioButton1;
    QLabel* Label3;
    TNCTStepButton2* NCTStepButton21;
    QLabel* label_volume;
    QToolButton* BitBtn3;
    QToolButton* BitBtn4;
    QFrame* Panel2;
    QRadioButton* RadioButton2;
    QLabel* Label2;
    QFrame* Panel3;
    QRadioButton* radio_loudness_single;
    QDoubleSpinBox* spin_loudness_single;  // LUFS
    QLabel* label_loudness_single;
    // The gain fields of MP3, AAC-LC and Opus moved instead of re-encoding.
    QCheckBox* check_lossless_single;
    QPushButton* bt_amplify;

    // The list page.
    QWidget* TabSheet2;
    QTreeWidget* ListView1;
    LevelsView* levels_view;  // the list's levels as bars
    QFrame* Panel13;
    QToolButton* btn_add;
    QToolButton* btn_openfolder;
    QToolButton* btn_remove;
    QToolButton* btn_clear;
    QCheckBox* check_subfolders;  // Folder and dropped folders take the sub-folders' files too
    QFrame* Panel12;
    QLabel* label_totalfiles;
    QGroupBox* GroupBox1;
    QRadioButton* radio_change;
    QSpinBox* batch_spin_volume;
    QRadioButton* radio_auto;
    QRadioButton* radio_mix;
    QRadioButton* radio_loudness;
    QDoubleSpinBox* batch_spin_loudness;  // LUFS
    // Normalize and Loudness target: one gain for the whole list, and rows
    // left alone when their gain is smaller than spin_skip.
    QCheckBox* check_album;
    QCheckBox* check_album_folder;  // one album per folder (list run and tags run)
    QCheckBox* check_skip;
    QDoubleSpinBox* spin_skip;  // dB
    // Not for Adjust to Average Level, whose files pass through WAVs.
    QCheckBox* check_lossless;
    // The fourth kind of run: ReplayGain tags written into the sources.
    QRadioButton* radio_tags;
    QCheckBox* check_tags_remove;
    QPushButton* BitBtn1;

    // The results of the last run, either page's.
    Tresults* results_view;

    // MainMenu1. Open1 and AdjustVolume1 act on the page shown.
    QAction* Open1;
    QAction* AdjustVolume1;
    QAction* Options1;
    QAction* Exit1;
    QAction* HelpContents1;
    QAction* BrellanOntheWeb1;
    QAction* About1;

    // The list page's state.
    std::string add_folder;  // last folder of "Add Files from Folder"

    // The list's columns at their first widths, which fit the design size
    // with the run's columns shown; the file column takes what the others
    // leave, and a cell's cut text shows in its tooltip.
    void reset_columns();
    // The run's four columns: shown once a run fills them, hidden when the
    // list is cleared.
    void show_run_columns(bool shown);

    // The list's add operation, for files dropped onto the list page.
    std::function<void(const std::string&)> list_add_file;

    // Shell.
    void FormCreate();
    // The libraries loaded and the start-up ran to its end.
    bool started() const;
    bool dragAppMessage(QObject* Window, QEvent* Msg);
    // Hands the media files among paths to a page, as a drop onto it does.
    void take_files(QWidget* page, const QStringList& paths);
    // Files the program was started with ("Open with" too): one loads on the
    // single-file page, several go into the list, which is then shown.
    void open_files(const QStringList& paths);
    void FormKeyDown(int Key, Qt::KeyboardModifiers Shift);
    void RzPageControl1MouseDown();
    void TabSheet1MouseDown();
    void Panel1MouseDown();
    void ListView1MouseDown();
    void Panel13MouseDown();
    void Panel12MouseDown();
    void GroupBox1MouseDown();
    void Memo1MouseDown();
    void Open1Click();
    void AdjustVolume1Click();
    void Options1Click();
    void Exit1Click();
    void HelpContents1Click();
    void BrellanOntheWeb1Click();
    void About1Click();

    // The flows.
    LevelMeter& meter() { return *meter_; }
    SingleFileFlow& single_flow() { return *single_flow_; }
    ListFlow& list_flow() { return *list_flow_; }
    AverageLevelFlow& average_level_flow() { return *average_flow_; }
    TagsFlow& tags_flow() { return *tags_flow_; }

    // The single file's volume.
    void BitBtn3Click();
    void BitBtn4Click();
    void NCTStepButton21ValueChange(QObject* ASender, int Value);

    // The file list.
    void btn_addClick();
    void add_file_b(const std::string& file_name);
    void btn_openfolderClick();
    void ListView1Change();
    void btn_removeClick();
    void btn_clearClick();
    bool select_folder(const std::string& caption, std::string& folder);
    // Files added are probed off the main thread and join the list in
    // batches; true while some have not joined it (or been refused) yet.
    bool adding_files() const;
    // Selects item, which probes it; false when the probe rejected it and the
    // row is gone, row_rejection() telling why.
    bool select_row(QTreeWidgetItem* item);
    const std::string& row_rejection() const { return row_rejection_; }
    static bool batch_spin_volumeKeyPress(char16_t Key);
    void batch_spin_volumeExit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void create_single_page();
    void create_list_page();
    void create_menu();
    // Tab order and accessible names, from the pages' layouts as they stand.
    void set_keyboard_order();
    // The pictures drawn with the palette's colours, drawn again when it changes.
    void paint_with_palette();
    // The media files of the folders dropped or chosen on the list page.
    std::vector<std::string> folder_files(const std::string& folder) const;
    void show_volume();
    void start_window_move();
    void connect_list_page();
    void take_added_rows();
    void show_adding();
    void delete_row(QTreeWidgetItem* item);
    // Every flow's encoder, in the order they load the libraries.
    std::array<TFFEncoder*, 5> encoders();

    // The meter comes first: its logger is freed after the flows' encoders,
    // which may still log while they stop.
    std::unique_ptr<LevelMeter> meter_;
    std::unique_ptr<SingleFileFlow> single_flow_;
    std::unique_ptr<ListFlow> list_flow_;
    std::unique_ptr<AverageLevelFlow> average_flow_;
    std::unique_ptr<TagsFlow> tags_flow_;

    bool deleting_row_ = false;              // a row is deleted: no probe of the next selection
    std::string row_rejection_;              // why the last probed row was rejected; empty: it was not
    std::unique_ptr<ListAdder> list_adder_;  // probes added files on its own thread
    QTimer* list_add_timer_ = nullptr;       // takes the adder's results in batches
    bool taking_rows_ = false;               // a refusal's message runs the loop inside the taking
    bool round_accepted_ = false;            // a file of the current adding joined the list
    QString label_before_adding_;            // kept when every file of an adding is refused
    QTreeWidgetItem* last_added_ = nullptr;  // selected when the adding ends; null once gone
};

}  // namespace sonorix::ui
