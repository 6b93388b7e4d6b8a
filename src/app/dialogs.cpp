#include "app/dialogs.h"

#include <filesystem>

#include <QDialog>
#include <QFileDialog>

#include "workflow/text.h"

namespace sonorix::ui {

namespace {

ScriptedDialogs* g_script = nullptr;
QString g_last_folder;  // of any file dialog in this run

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    if (start < text.size()) parts.push_back(text.substr(start));
    return parts;
}

// The patterns of the filter entry at index (0-based).
std::string filter_patterns(const std::string& filter, int index) {
    const auto parts = split(filter, '|');
    const size_t at = static_cast<size_t>(index) * 2 + 1;
    return at < parts.size() ? parts[at] : std::string();
}

}  // namespace

QStringList qt_name_filters(const std::string& filter) {
    QStringList out;
    const auto parts = split(filter, '|');
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const std::string& p : split(parts[i + 1], ';')) {
            const std::string pattern = trim_blanks(p);
            if (pattern.empty()) continue;
            for (const std::string& form : {upper_text(pattern), lower_text(pattern)}) {
                const QString q = QString::fromStdString(form);
                if (!patterns.contains(q)) patterns << q;
            }
        }
        out << QString::fromStdString(parts[i]) + " (" + patterns.join(' ') + ")";
    }
    return out;
}

std::string with_default_extension(const std::string& file_name, const std::string& filter_pattern,
                                   const std::string& default_extension) {
    if (std::filesystem::path(file_name).has_extension()) return file_name;
    std::string ext = default_extension;
    const auto patterns = split(filter_pattern, ';');
    const std::string first = patterns.empty() ? std::string() : trim_blanks(patterns[0]);
    if (first.rfind("*.", 0) == 0 && first.find_first_of("*?", 2) == std::string::npos) ext = first.substr(2);
    return ext.empty() ? file_name : file_name + "." + ext;
}

bool TFileDialog::Execute(QWidget* owner) {
    if (g_script) {
        g_script->asked.push_back({kind_, Filter, FilterIndex, DefaultExt, ""});
        std::optional<std::string> answer;
        if (!g_script->answers.empty()) {
            answer = g_script->answers.front();
            g_script->answers.pop_front();
        }
        if (!answer) return false;
        Files = split(*answer, '\n');
        FileName = Files.empty() ? std::string() : Files.front();
        return true;
    }
    QFileDialog dialog(owner);
    // Qt's own dialog: its name filters ignore letter case on every desktop.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(kind_ == Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(kind_ == Save      ? QFileDialog::AnyFile
                       : AllowMultiSelect ? QFileDialog::ExistingFiles
                                          : QFileDialog::ExistingFile);
    dialog.setSizeGripEnabled(true);
    const QStringList filters = qt_name_filters(Filter);
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
    const QString folder = InitialDir.empty() ? g_last_folder : QString::fromStdString(InitialDir);
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    if (!FileName.empty()) dialog.selectFile(QString::fromStdString(FileName));
    // The save dialog asks about an existing file itself in the handler.
    if (kind_ == Save) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    Files.clear();
    for (const QString& f : dialog.selectedFiles()) Files.push_back(f.toStdString());
    FileName = Files.front();
    g_last_folder = dialog.directory().absolutePath();
    FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (kind_ == Save)
        FileName = with_default_extension(FileName, filter_patterns(Filter, FilterIndex - 1), DefaultExt);
    return true;
}

bool choose_folder(QWidget* owner, const std::string& caption, std::string& folder) {
    if (g_script) {
        g_script->asked.push_back({TFileDialog::Folder, caption, 1, "", folder});
        std::optional<std::string> answer;
        if (!g_script->answers.empty()) {
            answer = g_script->answers.front();
            g_script->answers.pop_front();
        }
        if (!answer) return false;
        folder = *answer;
        return true;
    }
    QFileDialog dialog(owner, QString::fromStdString(caption));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (!folder.empty()) dialog.setDirectory(QString::fromStdString(folder));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    folder = dialog.selectedFiles().first().toStdString();
    return true;
}

void show_modal(QDialog& dialog) {
    if (g_script && !g_script->modal) {
        dialog.setModal(true);
        dialog.show();
        return;
    }
    dialog.exec();
}

void close_form(QDialog* form) {
    if (form->isVisible()) form->done(QDialog::Accepted);
}

ScriptedDialogs::ScriptedDialogs() { g_script = this; }
ScriptedDialogs::~ScriptedDialogs() {
    if (g_script == this) g_script = nullptr;
}

}  // namespace sonorix::ui
