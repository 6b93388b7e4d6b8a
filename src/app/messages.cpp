#include "app/messages.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace sonorix::ui {

TApplication Application;

namespace {

ScriptedMessages* g_script = nullptr;

MessageKind kind_of(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR: return MessageKind::Error;
    case MB_ICONQUESTION: return MessageKind::Question;
    case MB_ICONWARNING: return MessageKind::Warning;
    default: return MessageKind::Information;
    }
}

int answer_code(MessageAnswer answer) {
    switch (answer) {
    case MessageAnswer::Yes: return IDYES;
    case MessageAnswer::No: return IDNO;
    default: return IDOK;
    }
}

}  // namespace

MessageAnswer message_box(QWidget* owner, const std::string& text, const std::string& caption, MessageKind kind) {
    if (g_script) {
        g_script->shown.push_back({text, caption, kind});
        if (kind != MessageKind::Question) return MessageAnswer::Ok;
        if (g_script->answers.empty()) return MessageAnswer::Yes;
        const MessageAnswer answer = g_script->answers.front();
        g_script->answers.pop_front();
        return answer;
    }
    const QMessageBox::Icon icon = kind == MessageKind::Error      ? QMessageBox::Critical
                                   : kind == MessageKind::Warning  ? QMessageBox::Warning
                                   : kind == MessageKind::Question ? QMessageBox::Question
                                                                   : QMessageBox::Information;
    // A lone carriage return starts a new line in the box.
    QString shown = QString::fromStdString(text);
    shown.replace("\r\n", "\n").replace('\r', '\n');
    QMessageBox box(icon, QString::fromStdString(caption), shown,
                    kind == MessageKind::Question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    const int result = box.exec();
    if (kind != MessageKind::Question) return MessageAnswer::Ok;
    return result == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

MessageAnswer ask_three(QWidget* owner, const std::string& text, const std::string& caption,
                        const std::string& yes_label, const std::string& no_label) {
    if (g_script) return message_box(owner, text, caption, MessageKind::Question);
    QString shown = QString::fromStdString(text);
    shown.replace("\r\n", "\n").replace('\r', '\n');
    QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), shown, QMessageBox::NoButton, owner);
    QPushButton* yes = box.addButton(QString::fromStdString(yes_label), QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(QString::fromStdString(no_label), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == yes) return MessageAnswer::Yes;
    if (box.clickedButton() == no) return MessageAnswer::No;
    return MessageAnswer::Cancel;
}

int MessageBoxA(QWidget* owner, const std::string& text, const std::string& caption, unsigned flags) {
    MessageKind kind = kind_of(flags);
    if (flags & MB_YESNO) kind = MessageKind::Question;
    return answer_code(message_box(owner, text, caption, kind));
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    return MessageBoxA(QApplication::activeWindow(), text, caption, flags);
}

ScriptedMessages::ScriptedMessages() { g_script = this; }
ScriptedMessages::~ScriptedMessages() {
    if (g_script == this) g_script = nullptr;
}

bool ScriptedMessages::saw(const std::string& text) const { return count(text) > 0; }

size_t ScriptedMessages::count(const std::string& text) const {
    size_t n = 0;
    for (const auto& m : shown) n += m.text == text;
    return n;
}

}  // namespace sonorix::ui
