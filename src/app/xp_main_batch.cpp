// The list page's rows: adding files (probed off the main thread), probing
// the selected row, removing rows, and the volume field. The runs over the
// list are the list's flows.
#include <algorithm>
#include <filesystem>
#include <utility>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/forms.h"
#include "app/list_adder.h"
#include "app/messages.h"
#include "app/xp_main.h"
#include "workflow/batch_list.h"
#include "workflow/source_types.h"
#include "workflow/text.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

namespace {

// Added files join the list in batches: at most this many rows per slice,
// one slice per tick, so that the window repaints and takes clicks between.
constexpr size_t kRowsPerSlice = 200;
constexpr int kAddingTickMs = 30;

// Key presses and the leaving focus of the volume field.
class SpinFilter : public QObject {
public:
    explicit SpinFilter(Tmain* owner) : QObject(owner), owner_(owner) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const QString text = static_cast<QKeyEvent*>(event)->text();
            // Control keys (Tab, Enter, Esc) are no typed characters.
            if (!text.isEmpty() && (text[0].unicode() >= 32 || text[0].unicode() == 8) &&
                !Tmain::batch_spin_volumeKeyPress(text[0].unicode())) {
                return true;
            }
        } else if (event->type() == QEvent::FocusOut) {
            owner_->batch_spin_volumeExit();
        }
        return false;
    }

private:
    Tmain* owner_;
};

}  // namespace

void Tmain::connect_list_page() {
    list_add_file = [this](const std::string& file) { add_file_b(file); };
    list_adder_ = std::make_unique<ListAdder>();
    list_add_timer_ = new QTimer(this);
    list_add_timer_->setInterval(kAddingTickMs);
    connect(list_add_timer_, &QTimer::timeout, this, [this] { take_added_rows(); });
    connect(btn_add, &QToolButton::clicked, this, [this] { btn_addClick(); });
    connect(btn_openfolder, &QToolButton::clicked, this, [this] { btn_openfolderClick(); });
    connect(btn_remove, &QToolButton::clicked, this, [this] { btn_removeClick(); });
    connect(btn_clear, &QToolButton::clicked, this, [this] { btn_clearClick(); });
    // Only a change of selection probes: writing cells does not.
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!deleting_row_) ListView1Change();
    });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { list_flow_->BitBtn1Click(); });
    batch_spin_volume->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    batch_spin_volume->installEventFilter(new SpinFilter(this));
}

// ---- The file list ---------------------------------------------------------

void Tmain::btn_addClick() {
    OpenDialog1.FileName.clear();
    OpenDialog1.Filter = list_file_filter();
    OpenDialog1.FilterIndex = 1;
    OpenDialog1.AllowMultiSelect = true;
    if (!OpenDialog1.Execute(this)) return;
    const std::vector<std::string> files = OpenDialog1.Files;
    for (const std::string& file : files) add_file_b(file);
}

// The file is probed on the adder's thread; its row joins the list when the
// result is taken, in the order the files were added.
void Tmain::add_file_b(const std::string& file_name) {
    if (!list_adder_->busy()) {
        label_before_adding_ = label_totalfiles->text();
        round_accepted_ = false;
    }
    list_adder_->add(file_name);
    show_adding();
    if (!list_add_timer_->isActive()) list_add_timer_->start();
}

bool Tmain::adding_files() const { return list_adder_ && list_adder_->busy(); }

void Tmain::show_adding() {
    label_totalfiles->setText(QString::fromUtf8("Adding files\u2026 %1 of %2")
                                  .arg(list_adder_->round_taken())
                                  .arg(list_adder_->round_total()));
}

// One slice of probed files: accepted ones become rows (in one insertion,
// without a probe each), a refused one gets its message as a selection's
// probe gives it. When the last file is in, the last row added is selected,
// as adding always left it, and the count shows.
void Tmain::take_added_rows() {
    // A refusal's message box runs the loop: no second slice inside it.
    if (taking_rows_) return;
    taking_rows_ = true;
    QList<QTreeWidgetItem*> rows;
    auto insert = [&] {
        if (rows.isEmpty()) return;
        ListView1->addTopLevelItems(rows);
        last_added_ = rows.back();
        round_accepted_ = true;
        rows.clear();
    };
    for (const ProbedRow& row : list_adder_->take(kRowsPerSlice)) {
        if (row.accepted()) {
            rows << new QTreeWidgetItem(QStringList{QString::fromStdString(row.path), QString::fromStdString(row.size),
                                                    QString::fromStdString(row.time),
                                                    QString::fromStdString(row.format), ""});
            keep_facts(*rows.back(), row.facts);
            continue;
        }
        insert();  // the rows before it are in the list when its message shows
        if (!row.raised) MessageBoxA(this, row.refusal + row.path, "", MB_ICONERROR);
    }
    insert();
    taking_rows_ = false;
    if (list_adder_->busy()) {
        show_adding();
        return;
    }
    list_add_timer_->stop();
    label_totalfiles->setText(round_accepted_ ? QString::number(ListView1->topLevelItemCount()) + " Files"
                                              : label_before_adding_);
    if (QTreeWidgetItem* last = std::exchange(last_added_, nullptr)) select_row(last);
}

void Tmain::btn_openfolderClick() {
    if (!select_folder("", add_folder)) return;
    add_folder = folder_with_separator(add_folder);
    std::error_code ec;
    if (!fs::is_directory(add_folder, ec)) return;
    // With the sub-folders, the walk the command line uses, sorted by path.
    const std::vector<std::string> files =
        check_subfolders->isChecked() ? folder_files(add_folder) : folder_media_files(add_folder);
    for (const std::string& file : files) add_file_b(file);
}

// Selects item, which probes it; false when the probe rejected it and the
// row is gone. An item already selected is probed all the same: a run must
// find the probe holding the row's file as it is now.
bool Tmain::select_row(QTreeWidgetItem* item) {
    row_rejection_.clear();
    if (item->isSelected()) {
        ListView1Change();
    } else {
        ListView1->setCurrentItem(item);
    }
    return row_rejection_.empty();
}

void Tmain::ListView1Change() {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    if (selected.isEmpty()) return;
    QTreeWidgetItem* item = selected.front();
    // On the main thread: the cells only. The facts the adder kept carry the
    // file's stamp, and a run reads them again if the file changed.
    const ProbedRow row = probe_row(list_flow_->FFdirectc.Decoder(), item->text(0).toStdString(), /*with_facts=*/false);
    if (row.accepted()) {
        item->setText(kSizeColumn, QString::fromStdString(row.size));
        item->setText(kTimeColumn, QString::fromStdString(row.time));
        item->setText(kFormatColumn, QString::fromStdString(row.format));
        label_totalfiles->setText(QString::number(ListView1->topLevelItemCount()) + " Files");
        return;
    }
    // A probe that raised: deleted without a further message.
    if (!row.raised) MessageBoxA(this, row.refusal + row.path, "", MB_ICONERROR);
    row_rejection_ =
        row.raised ? "the file could not be read" : trim_blanks(row.refusal.substr(0, row.refusal.size() - 2));
    delete_row(item);
}

void Tmain::delete_row(QTreeWidgetItem* item) {
    if (item == last_added_) last_added_ = nullptr;
    list_flow_->forget_row(item);
    deleting_row_ = true;
    delete item;
    ListView1->clearSelection();
    deleting_row_ = false;
}

void Tmain::btn_removeClick() {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    if (selected.isEmpty()) return;
    const int i = ListView1->indexOfTopLevelItem(selected.front());
    delete_row(selected.front());
    const int count = ListView1->topLevelItemCount();
    if (i < count) {
        select_row(ListView1->topLevelItem(i));
    } else if (count > 0) {
        select_row(ListView1->topLevelItem(i - 1));
    }
    ListView1->setFocus();
    label_totalfiles->setText(QString::number(ListView1->topLevelItemCount()) + " Files");
}

void Tmain::btn_clearClick() {
    // Files still being probed are dropped too: the list is to be empty.
    list_adder_->cancel();
    list_add_timer_->stop();
    last_added_ = nullptr;
    list_flow_->forget_rows();
    deleting_row_ = true;
    ListView1->clear();
    deleting_row_ = false;
    show_run_columns(false);
    label_totalfiles->setText("0 Files");
}

bool Tmain::select_folder(const std::string& caption, std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) folder.clear();
    return choose_folder(this, caption, folder);
}

bool Tmain::batch_spin_volumeKeyPress(char16_t Key) { return Key == 8 || (Key >= u'0' && Key <= u'9'); }

void Tmain::batch_spin_volumeExit() {
    bool ok = false;
    const int typed = batch_spin_volume->text().toInt(&ok);
    const int value = std::clamp(ok ? typed : 0, batch_spin_volume->minimum(), batch_spin_volume->maximum());
    batch_spin_volume->setValue(value);
    if (auto* edit = batch_spin_volume->findChild<QLineEdit*>()) edit->setText(QString::number(value));
}

}  // namespace sonorix::ui
