// The dialog layer: open and save dialogs, and how the modal forms are shown.
// In the program they are QFileDialogs and QDialog::exec; while a
// ScriptedDialogs is alive (tests) the file dialogs answer from its script
// and the modal forms are shown without a loop of their own, so a test's
// own loop runs the workflow.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <QStringList>

class QDialog;
class QWidget;

namespace sonorix::ui {

// A file dialog's settings, in the "Description|patterns|..." form of the
// handlers. FilterIndex counts from 1.
class TFileDialog {
public:
    enum Kind { Open, Save, Folder };
    explicit TFileDialog(Kind kind) : kind_(kind) {}

    std::string Filter;
    int FilterIndex = 1;
    std::string FileName;
    std::string DefaultExt;  // without the dot
    std::string InitialDir;  // empty: the folder a file dialog used last
    bool AllowMultiSelect = false;

    // Shows the dialog; false when the user cancelled. FileName then holds
    // the (first) chosen file, Files every chosen file in the dialog's order.
    bool Execute(QWidget* owner);
    std::vector<std::string> Files;
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// "Audio Files|*.WAV;*.MP3;|" as Qt name filters: "Audio Files (*.WAV *.wav
// *.MP3 *.mp3)", so that files match whatever their letter case.
QStringList qt_name_filters(const std::string& filter);

// The extension a save dialog appends to a name without one: the chosen
// filter's, else the default extension.
std::string with_default_extension(const std::string& file_name, const std::string& filter_pattern,
                                   const std::string& default_extension);

// The folder chooser: opens on folder when it names one, with caption as its
// instruction; the other windows are disabled while it is shown. True and
// the chosen folder in folder when the user chose one.
bool choose_folder(QWidget* owner, const std::string& caption, std::string& folder);

// Shows a form modally (QDialog::exec), or, under a script, just shows it.
void show_modal(QDialog& dialog);
// Closes a form shown by show_modal; nothing when it is not shown.
void close_form(QDialog* form);

struct FileDialogRecord {
    TFileDialog::Kind kind;
    std::string filter;
    int filter_index;
    std::string default_extension;
    std::string initial_folder;  // of a folder chooser; its caption is in filter
};

class ScriptedDialogs {
public:
    ScriptedDialogs();
    ~ScriptedDialogs();
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    // One answer per file or folder dialog, in order; nothing means Cancel,
    // and so does an empty queue. Several files of one answer are separated
    // by new lines.
    std::deque<std::optional<std::string>> answers;
    std::vector<FileDialogRecord> asked;
    // Run modal forms with their own loop as in the program.
    bool modal = false;
};

}  // namespace sonorix::ui
