// The main window: the single-file page and the list page, the menus, drops,
// the Delete key and moving the window by its surfaces, and the single-file
// workflow (load, measure, convert).
//
// Threads: everything here runs on the main thread. The engine's events
// arrive through its main-thread queue, which the Qt loop drains; a workflow
// continues from an event only through a 2 ms one-shot timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QStringList>

#include "app/dialogs.h"
#include "engine/FFEncode.h"
#include "base/FFLog.h"
#include "workflow/loudness.h"
#include "workflow/track_levels.h"

class QAction;
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

namespace sonorix {
class BatchJob;
class IntermediateFolder;
class NormalizerRun;
enum class BatchMode;
}

namespace sonorix::ui {

class TNCTStepButton2;
class ListAdder;

// The folder the media libraries are first looked for in.
extern std::string library_folder;

class Tmain : public QMainWindow {
public:
    explicit Tmain(QWidget* parent = nullptr);
    ~Tmain() override;

    // Components. The logger comes first: the encoders, freed before it,
    // may still log while they stop.
    TFFLogger FFLogger1;
    TFFEncoder FFdetect;
    TFFEncoder FFencoder;
    TFFEncoder FFtowav;
    TFFEncoder FFwavtoall;
    TFFEncoder FFdirectc;
    TFileDialog OpenDialog1{TFileDialog::Open};
    TFileDialog SaveDialog1{TFileDialog::Save};
    QTimer* timer_ffdetect;
    QTimer* timer_ffencoder;
    QTimer* timer_ffdirectc;
    QTimer* timer_callnormalizer;
    QTimer* timer_mux;
    QTimer* Timer_endmsg;

    // The page control and the single-file page.
    QTabWidget* RzPageControl1;
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
    QPushButton* bt_amplify;

    // The list page.
    QWidget* TabSheet2;
    QTreeWidget* ListView1;
    QFrame* Panel13;
    QToolButton* btn_add;
    QToolButton* btn_openfolder;
    QToolButton* btn_remove;
    QToolButton* btn_clear;
    QFrame* Panel12;
    QLabel* label_totalfiles;
    QGroupBox* GroupBox1;
    QRadioButton* radio_change;
    QSpinBox* batch_spin_volume;
    QRadioButton* radio_auto;
    QRadioButton* radio_mix;
    QRadioButton* radio_loudness;
    QDoubleSpinBox* batch_spin_loudness;  // LUFS
    QPushButton* BitBtn1;

    // MainMenu1.
    QAction* Options1;
    QAction* Exit1;
    QAction* HelpContents1;
    QAction* BrellanOntheWeb1;
    QAction* About1;

    // Workflow state shared by both pages.
    std::string source_file;
    std::string max_volume_text;
    TrackReadings track_readings;  // every audio track of the last measurement
    std::string analysis_mode;
    std::vector<int> task_progress;
    std::string running_encoder;
    uint8_t cancelled = 0;

    // The list page's state.
    std::string add_folder;     // last folder of "Add Files from Folder"
    std::string output_folder;  // of the last list run
    std::string target_file;    // the target being set up

    // The list's add operation, for files dropped onto the list page.
    std::function<void(const std::string&)> list_add_file;

    // Shell.
    void FormCreate();
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
    void Options1Click();
    void Exit1Click();
    void HelpContents1Click();
    void BrellanOntheWeb1Click();
    void About1Click();

    // Source loading.
    void Button1Click();
    void add_file(const std::string& file_name);

    // Peak analysis.
    void single_peak();
    void FFLogger1Log(TObject* Sender, int AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);
    void FFdetectTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffdetectTimer();

    // Single-file conversion.
    void BitBtn3Click();
    void BitBtn4Click();
    void NCTStepButton21ValueChange(QObject* ASender, int Value);
    void bt_amplifyclick();
    void single_convert();
    void FFencoderProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFencoderTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffencoderTimer();

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

    // List runs: Normalize and Volume Change.
    void BitBtn1Click();
    void multi_peak();
    void multi_convert();
    void FFdirectcProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFdirectcTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffdirectcTimer();
    static bool batch_spin_volumeKeyPress(char16_t Key);
    void batch_spin_volumeExit();

    // List run: Adjust to Average Level.
    void multi_rms();
    void FFtowavProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFtowavTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_callnormalizerTimer();
    void normalize();
    void timer_muxTimer();
    void FFwavtoallProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFwavtoallTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void Timer_endmsgTimer();
    bool clean_folder();
    // The run's folder of intermediate files while it exists.
    const IntermediateFolder* intermediate_folder() const { return intermediate_.get(); }

    // The run in progress (or the last one); null before the first.
    const BatchJob* batch_job() const { return batch_job_.get(); }

    // The component a running_encoder text names; null for none.
    TFFEncoder* encoder_named(const std::string& name);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void create_single_page();
    void create_list_page();
    void create_menu();
    void show_volume();
    bool add_source_task(TFFEncoder& encoder, const std::string& target, const std::string& options);
    void start_window_move();
    void connect_list_page();
    void connect_average_level();
    void normalizer_output();
    void end_average_level(const std::string& message);
    void show_task_progress(PProgressInfo AProgressInfo);
    void start_conversions(TFFEncoder& encoder, const char* name, const char* status);
    bool select_row(QTreeWidgetItem* item);
    void take_added_rows();
    void show_adding();
    void delete_row(QTreeWidgetItem* item);
    void measure_next_row();
    void end_batch_measuring(const std::string& message);
    void multi_peak_done();
    bool check_targets();
    void start_checks(const char* mode, size_t count);
    void targets_checked();
    bool targets_checked_ = false;             // the run's lossy targets were checked
    std::vector<size_t> checked_rows_;          // the rows of the check tasks, in order
    std::vector<TrackReadings> check_readings_;
    size_t check_index_ = 0;                    // the check whose lines arrive
    bool peak_failed = false;  // the running measurement failed or was stopped
    double single_below_target_ = 0;  // LU the ceiling kept the last single conversion below its target
    double single_gain_ = 0;                    // the gain of the single conversion's main track, dB
    // Each audio track's gain of the single conversion (none: left as it
    // is); set by the first pass, lowered by a second.
    std::vector<std::optional<double>> single_track_gains_;
    std::vector<double> single_track_below_;    // LU the ceiling keeps each track below the target
    std::vector<bool> single_check_lossy_;      // the checked target's lossy tracks
    size_t single_main_track_ = 0;              // the source's main audio track
    bool single_checked_ = false;               // its lossy target's peak was checked
    bool check_single_target();
    void single_target_checked();
    void show_single_end();
    std::string peak_error;    // a failed measurement's text

    std::unique_ptr<BatchJob> batch_job_;
    std::unique_ptr<IntermediateFolder> intermediate_;  // average level, phases 1 to 4
    std::unique_ptr<NormalizerRun> normalizer_;         // phase 2
    QTimer* normalizer_poll_ = nullptr;                 // reads its output while the window runs
    int normalizer_step_ = 0;                           // the bar's advance per marker
    std::vector<QTreeWidgetItem*> batch_items_;  // the job's rows; null once a row left the list
    size_t batch_row_ = 0;                       // the row being measured
    bool deleting_row_ = false;                  // a row is deleted: no probe of the next selection
    std::string row_rejection_;                  // why the last probed row was rejected; empty: it was not
    std::unique_ptr<ListAdder> list_adder_;      // probes added files on its own thread
    QTimer* list_add_timer_ = nullptr;           // takes the adder's results in batches
    bool taking_rows_ = false;                   // a refusal's message runs the loop inside the taking
    bool round_accepted_ = false;                // a file of the current adding joined the list
    QString label_before_adding_;                // kept when every file of an adding is refused
    QTreeWidgetItem* last_added_ = nullptr;      // selected when the adding ends; null once gone
};

}  // namespace sonorix::ui
