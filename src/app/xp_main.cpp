// The main window's shell: controls, menus, start-up, drops, keys, moving
// the window and the single file's volume.
#include "app/xp_main.h"

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

#include "app/forms.h"
#include "app/levels_view.h"
#include "app/list_delegate.h"
#include "app/list_adder.h"
#include "app/messages.h"
#include "app/p_about.h"
#include "app/p_options.h"
#include "app/pictures.h"
#include "app/results_view.h"
#include "app/spin_edit.h"
#include "app/step_button.h"
#include "app/wrap_check_box.h"
#include "app/web.h"
#include "workflow/batch_list.h"
#include "workflow/source_types.h"

namespace sonorix::ui {

std::string library_folder;

namespace {

// The system's library directory, standing in for the system folder.
const char* const kSystemDirectory = "/usr/lib";

// Both pages' choice of the lossless path.
const char* const kLosslessCaption = "Without re-encoding where the audio allows it (MP3 and AAC in 1.5 dB steps)";

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

QToolButton* glyph_button(QWidget* parent, const char* name, Glyph glyph, const char* hint, const char* text) {
    auto* b = named(new QToolButton(parent), name);
    b->setIcon(glyph_icon(glyph));
    b->setIconSize(QSize(24, 24));
    b->setToolTip(hint);
    if (text) {
        b->setText(text);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return b;
}

// An explanation under a control: the palette's muted text, so it follows
// a light or dark palette.
QLabel* note(QWidget* parent, const char* name, const char* text) {
    auto* l = named(new QLabel(text, parent), name);
    l->setWordWrap(true);
    l->setForegroundRole(QPalette::PlaceholderText);
    return l;
}

// A loudness target in LUFS, -16 to start with.
QDoubleSpinBox* loudness_spin(QWidget* parent, const char* name) {
    auto* spin = named(new QDoubleSpinBox(parent), name);
    spin->setRange(kMinLoudnessTarget, kMaxLoudnessTarget);
    spin->setDecimals(1);
    spin->setSingleStep(0.5);
    spin->setValue(kDefaultLoudnessTarget);
    spin->setSuffix(" LUFS");
    return spin;
}

}  // namespace

Tmain::Tmain(QWidget* parent) : QMainWindow(parent) {
    setObjectName("main");
    setWindowTitle("Sonorix V2.2.0");
    setWindowIcon(program_icon());
    QFont font("Verdana");
    font.setPointSize(8);
    setFont(font);

    meter_ = std::make_unique<LevelMeter>(this);
    single_flow_ = std::make_unique<SingleFileFlow>(*this, *meter_);
    list_flow_ = std::make_unique<ListFlow>(*this, *meter_);
    average_flow_ = std::make_unique<AverageLevelFlow>(*this);
    tags_flow_ = std::make_unique<TagsFlow>(*this);

    auto* client = named(new QWidget(this), "client");
    auto* client_layout = new QVBoxLayout(client);
    client_layout->setContentsMargins(6, 6, 6, 6);
    RzPageControl1 = named(new QTabWidget(client), "RzPageControl1");
    RzPageControl1->setIconSize(QSize(160, 65));
    RzPageControl1->setDocumentMode(false);
    client_layout->addWidget(RzPageControl1);
    setCentralWidget(client);

    results_view = new Tresults(this);
    create_single_page();
    create_list_page();
    create_menu();
    connect_list_page();
    set_keyboard_order();
    paint_with_palette();
    RzPageControl1->setCurrentWidget(TabSheet1);

    // The window opens at its design size and grows with the desktop's; the
    // layouts keep every control whole down to the minimum.
    setMinimumSize(kMinimumClientSize + QSize(0, menuBar()->sizeHint().height()));
    resize(kDesignClientSize + QSize(0, menuBar()->sizeHint().height()));
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    // The application-wide filter sees drops, keys and mouse presses first.
    qApp->installEventFilter(this);
    FormCreate();
}

Tmain::~Tmain() {
    // The other forms may be gone already: no event of a stopping task may
    // reach them.
    qApp->removeEventFilter(this);
    const auto all = encoders();
    for (TFFEncoder* e : all) {
        e->OnProgress = nullptr;
        e->OnTerminate = nullptr;
    }
    for (TFFEncoder* e : all) e->Stop(true);
}

std::array<TFFEncoder*, 5> Tmain::encoders() {
    return {&meter_->FFdetect, &single_flow_->FFencoder, &average_flow_->FFtowav, &average_flow_->FFwavtoall,
            &list_flow_->FFdirectc};
}

void Tmain::create_single_page() {
    TabSheet1 = named(new QWidget, "TabSheet1");
    RzPageControl1->addTab(TabSheet1, QString());
    RzPageControl1->setTabToolTip(0, "Single File");

    BitBtn2 = named(new QPushButton(glyph_icon(Glyph::Load), "Load Audio or Video File", TabSheet1), "BitBtn2");
    BitBtn2->setToolTip("Add");
    BitBtn2->setIconSize(QSize(24, 24));
    BitBtn2->setMinimumHeight(34);
    connect(BitBtn2, &QPushButton::clicked, this, [this] { single_flow_->Button1Click(); });

    Memo1 = named(new QPlainTextEdit(TabSheet1), "Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setTabChangesFocus(true);  // read-only: Tab moves on
    Memo1->setAcceptDrops(false);
    Memo1->viewport()->setAcceptDrops(false);

    Panel1 = named(new QFrame(TabSheet1), "Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setMinimumWidth(300);
    Panel1->setMaximumWidth(420);
    RadioButton1 = named(new QRadioButton("Volume Change ", Panel1), "RadioButton1");
    RadioButton1->setChecked(true);
    Label3 = note(Panel1, "Label3",
                  "Apply volume change directly. Allow clipping audio track by amplifying to above the maximum volume");
    NCTStepButton21 = named(new TNCTStepButton2(Panel1), "NCTStepButton21");
    NCTStepButton21->setFixedSize(30, 40);
    NCTStepButton21->OnValueChange = [this](QObject* s, int v) { NCTStepButton21ValueChange(s, v); };
    label_volume = named(new QLabel("100%", Panel1), "label_volume");
    QFont big = label_volume->font();
    big.setPointSize(16);
    big.setBold(true);
    label_volume->setFont(big);
    label_volume->setMinimumWidth(90);
    label_volume->setAlignment(Qt::AlignCenter);
    BitBtn3 = glyph_button(Panel1, "BitBtn3", Glyph::StepDown, "-1%", nullptr);
    BitBtn4 = glyph_button(Panel1, "BitBtn4", Glyph::StepUp, "+1%", nullptr);
    for (QToolButton* b : {BitBtn3, BitBtn4}) {
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        b->setFixedSize(34, 34);
        b->setAutoRepeat(true);
    }
    connect(BitBtn3, &QToolButton::clicked, this, [this] { BitBtn3Click(); });
    connect(BitBtn4, &QToolButton::clicked, this, [this] { BitBtn4Click(); });
    Panel2 = named(new QFrame(Panel1), "Panel2");
    Panel2->setFrameShape(QFrame::HLine);
    Panel2->setFrameShadow(QFrame::Sunken);
    RadioButton2 = named(new QRadioButton("Normalize", Panel1), "RadioButton2");
    Label2 = note(Panel1, "Label2", "Amplify to the maximum volume possible without clipping audio track");
    Panel3 = named(new QFrame(Panel1), "Panel3");
    Panel3->setFrameShape(QFrame::HLine);
    Panel3->setFrameShadow(QFrame::Sunken);
    radio_loudness_single = named(new QRadioButton("Loudness target", Panel1), "radio_loudness_single");
    spin_loudness_single = loudness_spin(Panel1, "spin_loudness_single");
    label_loudness_single = note(Panel1, "label_loudness_single",
                                 "Bring the file to this loudness (EBU R128) with one gain; its true peak stays "
                                 "under the ceiling of the options");

    auto* volume_row = new QHBoxLayout;
    volume_row->addSpacing(20);
    volume_row->addWidget(NCTStepButton21);
    volume_row->addWidget(label_volume);
    volume_row->addWidget(BitBtn3);
    volume_row->addWidget(BitBtn4);
    volume_row->addStretch();
    auto* panel = new QVBoxLayout(Panel1);
    panel->setContentsMargins(14, 14, 14, 14);
    panel->setSpacing(8);
    panel->addWidget(RadioButton1);
    panel->addWidget(Label3);
    panel->addLayout(volume_row);
    panel->addSpacing(10);
    panel->addWidget(Panel2);
    panel->addSpacing(10);
    panel->addWidget(RadioButton2);
    panel->addWidget(Label2);
    panel->addSpacing(10);
    panel->addWidget(Panel3);
    panel->addSpacing(10);
    auto* loudness_row = new QHBoxLayout;
    loudness_row->addWidget(radio_loudness_single);
    loudness_row->addWidget(spin_loudness_single);
    loudness_row->addStretch();
    panel->addLayout(loudness_row);
    panel->addWidget(label_loudness_single);
    panel->addStretch();

    bt_amplify = named(new QPushButton(glyph_icon(Glyph::Amplify), "Adjust Volume", TabSheet1), "bt_amplify");
    bt_amplify->setIconSize(QSize(24, 24));
    bt_amplify->setMinimumHeight(40);
    connect(bt_amplify, &QPushButton::clicked, this, [this] { single_flow_->bt_amplifyclick(); });

    auto* right = new QVBoxLayout;
    right->addWidget(Panel1, 1);
    right->addWidget(bt_amplify);
    // Under the file's facts, where the page has the width for it.
    check_lossless_single = named(new WrapCheckBox(kLosslessCaption, TabSheet1), "check_lossless_single");
    auto* facts = new QVBoxLayout;
    facts->addWidget(Memo1, 1);
    facts->addWidget(check_lossless_single);
    auto* body = new QHBoxLayout;
    body->addLayout(facts, 1);
    body->addLayout(right);
    auto* page = new QVBoxLayout(TabSheet1);
    page->setContentsMargins(10, 10, 10, 10);
    page->addWidget(BitBtn2, 0, Qt::AlignLeft);
    page->addLayout(body, 1);
}

void Tmain::create_list_page() {
    TabSheet2 = named(new QWidget, "TabSheet2");
    RzPageControl1->addTab(TabSheet2, QString());
    RzPageControl1->setTabToolTip(1, "Multiple Files");

    ListView1 = named(new QTreeWidget(TabSheet2), "ListView1");
    ListView1->setHeaderLabels(
        {"Files", "Size", "Time", "Format", "Max-dB", "Peak (dBFS)", "Loudness (LUFS)", "Gain (dB)", "Result"});
    for (int column : {kPeakColumn, kLoudnessColumn, kGainColumn}) {
        ListView1->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    }
    for (int column = kPeakColumn; column <= kResultColumn; ++column) {
        ListView1->headerItem()->setToolTip(column, ListView1->headerItem()->text(column));
    }
    ListView1->setHeader(new ListHeader(ListView1));
    ListView1->header()->setStretchLastSection(false);
    ListView1->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    ListView1->header()->setTextElideMode(Qt::ElideRight);
    reset_columns();
    show_run_columns(false);
    ListView1->setRootIsDecorated(false);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setAlternatingRowColors(true);
    ListView1->setItemDelegate(new ListDelegate(ListView1));
    ListView1->setToolTip("Drag video or audio files and drop here");
    ListView1->setAcceptDrops(false);
    ListView1->viewport()->setAcceptDrops(false);

    Panel13 = named(new QFrame(TabSheet2), "Panel13");
    Panel13->setFrameShape(QFrame::StyledPanel);
    Panel13->setMinimumWidth(130);
    btn_add = glyph_button(Panel13, "btn_add", Glyph::Add, "Add", "Add");
    btn_openfolder = glyph_button(Panel13, "btn_openfolder", Glyph::Folder, "Add Files from Folder", "Folder");
    btn_remove = glyph_button(Panel13, "btn_remove", Glyph::Remove, "Remove", "Remove");
    btn_clear = glyph_button(Panel13, "btn_clear", Glyph::Clear, "Clear", "Clear");
    auto* buttons = new QVBoxLayout(Panel13);
    buttons->setContentsMargins(10, 10, 10, 10);
    for (QToolButton* b : {btn_add, btn_openfolder, btn_remove, btn_clear}) {
        b->setMinimumHeight(38);
        buttons->addWidget(b);
    }
    buttons->addStretch();

    Panel12 = named(new QFrame(TabSheet2), "Panel12");
    Panel12->setFrameShape(QFrame::StyledPanel);
    label_totalfiles = named(new QLabel(" ", Panel12), "label_totalfiles");
    GroupBox1 = named(new QGroupBox("Volume Options", Panel12), "GroupBox1");
    radio_change = named(new QRadioButton("Volume Change ", GroupBox1), "radio_change");
    radio_change->setChecked(true);
    batch_spin_volume = named(new TSpinEdit(GroupBox1), "batch_spin_volume");
    batch_spin_volume->setRange(0, 1000);
    batch_spin_volume->setValue(100);
    batch_spin_volume->setMinimumWidth(70);
    if (auto* edit = batch_spin_volume->findChild<QLineEdit*>()) edit->setMaxLength(4);
    radio_auto = named(new QRadioButton("Normalize ", GroupBox1), "radio_auto");
    radio_mix = named(new QRadioButton("Adjust to Average Level", GroupBox1), "radio_mix");
    radio_loudness = named(new QRadioButton("Loudness target ", GroupBox1), "radio_loudness");
    batch_spin_loudness = loudness_spin(GroupBox1, "batch_spin_loudness");
    auto* options_grid = new QGridLayout(GroupBox1);
    options_grid->setContentsMargins(10, 4, 10, 4);
    options_grid->setVerticalSpacing(3);
    auto* change_row = new QHBoxLayout;
    change_row->addWidget(radio_change);
    change_row->addWidget(batch_spin_volume);
    change_row->addWidget(new QLabel("%", GroupBox1));
    change_row->addStretch();
    options_grid->addLayout(change_row, 0, 0);
    options_grid->addWidget(note(GroupBox1, "Label4", "Each file will be adjusted with the same value"), 0, 1);
    options_grid->addWidget(radio_auto, 1, 0);
    options_grid->addWidget(note(GroupBox1, "Label5", "Each file will be amplified to the maximum volume possible"), 1,
                            1);
    options_grid->addWidget(radio_mix, 2, 0);
    options_grid->addWidget(
        note(GroupBox1, "Label6", "Each file will be adjusted to the average volume level of all the tracks"), 2, 1);
    auto* loudness_row_b = new QHBoxLayout;
    loudness_row_b->addWidget(radio_loudness);
    loudness_row_b->addWidget(batch_spin_loudness);
    loudness_row_b->addStretch();
    options_grid->addLayout(loudness_row_b, 3, 0);
    options_grid->addWidget(note(GroupBox1, "Label7", "Each file will be brought to the same loudness (EBU R128)"), 3,
                            1);
    check_album =
        named(new QCheckBox("Album (keep the files' levels relative to each other)", GroupBox1), "check_album");
    check_skip = named(new QCheckBox("Skip files within", GroupBox1), "check_skip");
    spin_skip = named(new QDoubleSpinBox(GroupBox1), "spin_skip");
    spin_skip->setRange(0.1, 20);
    spin_skip->setDecimals(1);
    spin_skip->setSingleStep(0.5);
    spin_skip->setValue(kDefaultSkipWithin);
    spin_skip->setSuffix(" dB");
    auto* measured_row = new QHBoxLayout;
    measured_row->addWidget(check_skip);
    measured_row->addWidget(spin_skip);
    measured_row->addWidget(new QLabel("of their target", GroupBox1));
    measured_row->addStretch();
    // ReplayGain tags: the fourth kind of run, and albums per folder.
    check_album_folder = named(new WrapCheckBox("One album per folder", GroupBox1), "check_album_folder");
    radio_tags = named(new QRadioButton("Write ReplayGain tags", GroupBox1), "radio_tags");
    check_tags_remove = named(new QCheckBox("Remove them instead", GroupBox1), "check_tags_remove");
    auto* album_row = new QHBoxLayout;
    album_row->addWidget(check_album);
    album_row->addWidget(check_album_folder);
    album_row->addStretch();
    // The remove box stands where the other modes' notes do, so the modes'
    // column keeps its width.
    radio_tags->setToolTip("Each file gets tags with its gain; its audio stays as it is");
    options_grid->addWidget(radio_tags, 4, 0);
    options_grid->addWidget(check_tags_remove, 4, 1);
    options_grid->addLayout(album_row, 5, 0, 1, 2);
    options_grid->addLayout(measured_row, 6, 0, 1, 2);
    // They act only where the files are measured against a target (the
    // album also for tags).
    auto measured_modes = [this] {
        const bool on = radio_auto->isChecked() || radio_loudness->isChecked();
        const bool album = on || (radio_tags->isChecked() && !check_tags_remove->isChecked());
        check_album->setEnabled(album);
        check_album_folder->setEnabled(album && check_album->isChecked());
        check_tags_remove->setEnabled(radio_tags->isChecked());
        check_skip->setEnabled(on);
        spin_skip->setEnabled(on && check_skip->isChecked());
    };
    for (QAbstractButton* b :
         {static_cast<QAbstractButton*>(radio_change), static_cast<QAbstractButton*>(radio_auto),
          static_cast<QAbstractButton*>(radio_mix), static_cast<QAbstractButton*>(radio_loudness),
          static_cast<QAbstractButton*>(check_skip), static_cast<QAbstractButton*>(radio_tags),
          static_cast<QAbstractButton*>(check_tags_remove), static_cast<QAbstractButton*>(check_album)}) {
        connect(b, &QAbstractButton::toggled, this, measured_modes);
    }
    measured_modes();
    options_grid->setColumnStretch(1, 1);
    // The lossless path, beside the button: not for the average level's
    // runs, whose files pass through WAVs, nor for tags, which write no audio.
    check_lossless = named(new WrapCheckBox(kLosslessCaption, Panel12), "check_lossless");
    auto lossless_modes = [this] { check_lossless->setDisabled(radio_mix->isChecked() || radio_tags->isChecked()); };
    connect(radio_mix, &QAbstractButton::toggled, this, lossless_modes);
    connect(radio_tags, &QAbstractButton::toggled, this, lossless_modes);
    lossless_modes();
    check_lossless->setMaximumWidth(260);

    BitBtn1 = named(new QPushButton(glyph_icon(Glyph::Amplify), "Adjust Volume", Panel12), "BitBtn1");
    BitBtn1->setIconSize(QSize(24, 24));
    BitBtn1->setMinimumSize(150, 40);
    auto* bottom = new QHBoxLayout(Panel12);
    bottom->setContentsMargins(8, 4, 8, 4);
    check_subfolders = named(new QCheckBox("Include sub-folders", Panel12), "check_subfolders");
    check_subfolders->setToolTip("Folder and dropped folders add the files of every sub-folder too");
    auto* count_row = new QHBoxLayout;
    count_row->addWidget(label_totalfiles, 1);
    count_row->addWidget(check_subfolders);
    auto* left = new QVBoxLayout;
    left->addLayout(count_row);
    left->addWidget(GroupBox1);
    bottom->addLayout(left, 1);
    auto* run = new QVBoxLayout;
    run->addStretch();
    run->addWidget(check_lossless);
    run->addWidget(BitBtn1);
    bottom->addLayout(run);

    levels_view = named(new LevelsView(TabSheet2), "levels_view");
    auto* list_and_levels = new QVBoxLayout;
    list_and_levels->addWidget(ListView1, 3);
    list_and_levels->addWidget(levels_view, 1);
    auto* top = new QHBoxLayout;
    top->addLayout(list_and_levels, 1);
    top->addWidget(Panel13);
    auto* page = new QVBoxLayout(TabSheet2);
    // Thinner above and below than the single page, so the list page's rows
    // of options fit the design size at its smallest.
    page->setContentsMargins(10, 6, 10, 6);
    page->addLayout(top, 1);
    page->addWidget(Panel12);
}

void Tmain::create_menu() {
    QMenu* file = menuBar()->addMenu(" File ");
    file->setObjectName("File1");
    Open1 = file->addAction("Open...", this, [this] { Open1Click(); });
    Open1->setObjectName("Open1");
    Open1->setShortcut(QKeySequence::Open);
    AdjustVolume1 = file->addAction("Adjust Volume", this, [this] { AdjustVolume1Click(); });
    AdjustVolume1->setObjectName("AdjustVolume1");
    // Enter on the keypad too.
    AdjustVolume1->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    file->addSeparator();
    Options1 = file->addAction("Options", this, [this] { Options1Click(); });
    Options1->setObjectName("Options1");
    file->addSeparator();
    Exit1 = file->addAction("Exit", this, [this] { Exit1Click(); });
    Exit1->setObjectName("Exit1");
    QMenu* help = menuBar()->addMenu(" Help ");
    help->setObjectName("Help1");
    HelpContents1 = help->addAction("Help Contents ", this, [this] { HelpContents1Click(); });
    HelpContents1->setObjectName("HelpContents1");
    HelpContents1->setShortcut(QKeySequence(Qt::Key_F1));
    HelpContents1->setShortcutContext(Qt::ApplicationShortcut);
    help->addSeparator();
    BrellanOntheWeb1 = help->addAction("Brellan on the Web", this, [this] { BrellanOntheWeb1Click(); });
    BrellanOntheWeb1->setObjectName("BrellanOntheWeb1");
    help->addSeparator();
    About1 = help->addAction("About", this, [this] { About1Click(); });
    About1->setObjectName("About1");
}

namespace {

void collect_focus_chain(QLayout* layout, QList<QWidget*>& chain);

// widget if the Tab key stops at it, then what its own layout holds.
void collect_widget(QWidget* widget, QList<QWidget*>& chain) {
    if (widget->focusPolicy() & Qt::TabFocus) chain << widget;
    if (widget->layout()) collect_focus_chain(widget->layout(), chain);
}

// The widgets of layout in reading order: a grid row by row, left to right;
// nested layouts and the widgets' own layouts in their places.
void collect_focus_chain(QLayout* layout, QList<QWidget*>& chain) {
    struct Placed {
        int row, column;
        QLayoutItem* item;
    };
    std::vector<Placed> items;
    auto* grid = qobject_cast<QGridLayout*>(layout);
    for (int i = 0; i < layout->count(); ++i) {
        int row = i, column = 0, rows = 1, columns = 1;
        if (grid) grid->getItemPosition(i, &row, &column, &rows, &columns);
        items.push_back({row, column, layout->itemAt(i)});
    }
    std::stable_sort(items.begin(), items.end(), [](const Placed& a, const Placed& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    for (const Placed& p : items) {
        if (QLayout* inner = p.item->layout()) {
            collect_focus_chain(inner, chain);
        } else if (QWidget* widget = p.item->widget()) {
            collect_widget(widget, chain);
        }
    }
}

}  // namespace

QList<QWidget*> focus_chain(QWidget* page) {
    QList<QWidget*> chain;
    if (page->layout()) collect_focus_chain(page->layout(), chain);
    return chain;
}

void Tmain::set_keyboard_order() {
    // Controls whose text does not say what they are.
    const std::pair<QWidget*, const char*> names[] = {
        {RzPageControl1, "Pages"},
        {Memo1, "File information"},
        {NCTStepButton21, "Volume step"},
        {label_volume, "Volume"},
        {BitBtn3, "Lower the volume by 1%"},
        {BitBtn4, "Raise the volume by 1%"},
        {spin_loudness_single, "Loudness target"},
        {ListView1, "Files"},
        {levels_view, "Levels of the files"},
        {btn_openfolder, "Add Files from Folder"},
        {batch_spin_volume, "Volume change in percent"},
        {batch_spin_loudness, "Loudness target"},
        {spin_skip, "Skip threshold"},
    };
    for (const auto& [widget, name] : names) widget->setAccessibleName(name);
    RzPageControl1->tabBar()->setAccessibleTabName(0, "Single File");
    RzPageControl1->tabBar()->setAccessibleTabName(1, "Multiple Files");
    // The tabs, then each page as its layouts place its controls: a control
    // added to a layout falls into place.
    QList<QWidget*> chain{RzPageControl1->tabBar()};
    chain << focus_chain(TabSheet1) << focus_chain(TabSheet2);
    for (qsizetype i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

void Tmain::reset_columns() {
    // Wide enough for the usual cell; a longer one is cut, its tooltip whole.
    const std::pair<int, const char*> samples[] = {
        {kSizeColumn, "999.99MB"}, {kTimeColumn, "00:00:00.000"}, {kFormatColumn, "MP3 \u00b7 192 k"},
        {kMaxDbColumn, "-99.9"},   {kPeakColumn, "-99.9"},        {kLoudnessColumn, "-99.9"},
        {kGainColumn, "+99.9"},    {kResultColumn, "converted"},
    };
    const QFontMetrics metrics(ListView1->font());
    for (const auto& [column, sample] : samples) {
        // The title wraps at its blanks: its longest word must fit.
        int width = metrics.horizontalAdvance(QString::fromUtf8(sample));
        for (const QString& word : ListView1->headerItem()->text(column).split(' '))
            width = std::max(width, metrics.horizontalAdvance(word));
        ListView1->setColumnWidth(column, width + 12);
    }
}

void Tmain::show_run_columns(bool shown) {
    for (int column = kPeakColumn; column <= kResultColumn; ++column) ListView1->setColumnHidden(column, !shown);
}

void Tmain::paint_with_palette() {
    // The window's palette: its children may learn of a change after it.
    const QColor text = palette().color(QPalette::WindowText);
    RzPageControl1->setTabIcon(0, tab_icon("Single File", false, text));
    RzPageControl1->setTabIcon(1, tab_icon("Multiple Files", true, text));
}

void Tmain::changeEvent(QEvent* event) {
    // Not while the constructor has yet to make the pages.
    if (event->type() == QEvent::PaletteChange && RzPageControl1) paint_with_palette();
    QMainWindow::changeEvent(event);
}

std::vector<std::string> Tmain::folder_files(const std::string& folder) const {
    std::vector<std::string> empty;
    return expand_folders({folder}, check_subfolders->isChecked(), empty);
}

void Tmain::FormCreate() {
    library_folder = std::string(kSystemDirectory) + "/" + "snx/ff";
    const std::string program_folder = QCoreApplication::applicationDirPath().toStdString() + "/";
    for (TFFEncoder* e : encoders()) {
        if (e->LibrariesLoaded()) continue;
        if (e->LoadLibraries(library_folder)) continue;
        if (e->LoadLibraries(program_folder + "redist/ff")) continue;
        MessageBoxA(this, "load DLL error!", "", MB_ICONERROR);
        return;
    }
    NCTStepButton21->SetValue(100);
    TabSheet1->setAcceptDrops(true);
    TabSheet2->setAcceptDrops(true);
}

bool Tmain::started() const { return TabSheet1->acceptDrops(); }

bool Tmain::dragAppMessage(QObject* Window, QEvent* Msg) {
    if (Window != TabSheet1 && Window != TabSheet2) return false;
    if (!TabSheet1->acceptDrops()) return false;
    if (Msg->type() == QEvent::DragEnter || Msg->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDropEvent*>(Msg);
        if (!drag->mimeData()->hasUrls()) return false;
        drag->acceptProposedAction();
        return true;
    }
    if (Msg->type() != QEvent::Drop) return false;
    auto* drop = static_cast<QDropEvent*>(Msg);
    // Whole paths, however long.
    QStringList paths;
    for (const QUrl& url : drop->mimeData()->urls()) {
        if (url.isLocalFile()) paths << url.toLocalFile();
    }
    drop->acceptProposedAction();
    take_files(static_cast<QWidget*>(Window), paths);
    return true;
}

namespace {

bool is_media_file(const std::string& file) {
    if (!is_member(video_source_types, file) && !is_member(audio_source_types, file)) return false;
    std::error_code ec;
    return !std::filesystem::is_directory(file, ec);  // a folder is no media file
}

}  // namespace

void Tmain::take_files(QWidget* page, const QStringList& paths) {
    try {
        for (const QString& path : paths) {
            const std::string file = path.toStdString();
            std::error_code ec;
            if (page == TabSheet2 && list_add_file && std::filesystem::is_directory(file, ec)) {
                for (const std::string& found : folder_files(file)) list_add_file(found);
                continue;
            }
            if (!is_media_file(file)) continue;
            if (page == TabSheet1) {
                single_flow_->add_file(file);
            } else if (list_add_file) {
                list_add_file(file);
            }
        }
    } catch (const std::exception&) {
        // The rest of these files is dropped.
    }
}

void Tmain::open_files(const QStringList& paths) {
    if (!TabSheet1->acceptDrops()) return;  // the start-up failed: as for drops
    QStringList media;
    for (const QString& path : paths) {
        if (is_media_file(path.toStdString())) media << path;
    }
    if (media.isEmpty()) return;
    QWidget* page = media.size() == 1 ? TabSheet1 : TabSheet2;
    RzPageControl1->setCurrentWidget(page);
    take_files(page, media);
}

void Tmain::FormKeyDown(int Key, Qt::KeyboardModifiers) {
    if (Key == Qt::Key_Delete) btn_remove->click();
}

void Tmain::start_window_move() {
    if (QWindow* w = windowHandle()) w->startSystemMove();
}

void Tmain::RzPageControl1MouseDown() { start_window_move(); }
void Tmain::TabSheet1MouseDown() { start_window_move(); }
void Tmain::Panel1MouseDown() { start_window_move(); }
void Tmain::ListView1MouseDown() { start_window_move(); }
void Tmain::Panel13MouseDown() { start_window_move(); }
void Tmain::Panel12MouseDown() { start_window_move(); }
void Tmain::GroupBox1MouseDown() { start_window_move(); }
void Tmain::Memo1MouseDown() { start_window_move(); }

void Tmain::Open1Click() {
    (RzPageControl1->currentWidget() == TabSheet1 ? static_cast<QAbstractButton*>(BitBtn2) : btn_add)->click();
}

void Tmain::AdjustVolume1Click() {
    (RzPageControl1->currentWidget() == TabSheet1 ? static_cast<QAbstractButton*>(bt_amplify) : BitBtn1)->click();
}

void Tmain::Options1Click() { show_modal(*options); }

void Tmain::Exit1Click() { close(); }

void Tmain::HelpContents1Click() { open_page(help_page_path()); }

void Tmain::BrellanOntheWeb1Click() { open_page(kMakerHomePage); }

void Tmain::About1Click() { show_modal(*about); }

bool Tmain::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        if (dragAppMessage(watched, event)) return true;
        break;
    case QEvent::KeyPress:
        // The form sees keys before its controls: the key goes to the
        // focused control of this window first.
        if (watched == QApplication::focusWidget() && static_cast<QWidget*>(watched)->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            FormKeyDown(key->key(), key->modifiers());
        }
        break;
    case QEvent::MouseButtonPress: {
        if (watched == RzPageControl1 || watched == RzPageControl1->tabBar())
            RzPageControl1MouseDown();
        else if (watched == TabSheet1)
            TabSheet1MouseDown();
        else if (watched == Panel1)
            Panel1MouseDown();
        else if (watched == ListView1->viewport())
            ListView1MouseDown();
        else if (watched == Panel13)
            Panel13MouseDown();
        else if (watched == Panel12)
            Panel12MouseDown();
        else if (watched == GroupBox1)
            GroupBox1MouseDown();
        else if (watched == Memo1->viewport())
            Memo1MouseDown();
        break;
    }
    default: break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void Tmain::show_volume() { label_volume->setText(QString::number(NCTStepButton21->Value()) + "%"); }

void Tmain::BitBtn3Click() {
    if (NCTStepButton21->Value() <= 0) return;
    NCTStepButton21->SetValue(NCTStepButton21->Value() - 1);
    show_volume();
}

void Tmain::BitBtn4Click() {
    if (NCTStepButton21->Value() >= 1000) return;
    NCTStepButton21->SetValue(NCTStepButton21->Value() + 1);
    show_volume();
}

void Tmain::NCTStepButton21ValueChange(QObject*, int) { show_volume(); }

}  // namespace sonorix::ui
