// The message layer: every message box of the window goes through
// message_box, which shows a QMessageBox, or, while a ScriptedMessages is
// alive (tests), records the message and answers from its script.
#pragma once

#include <deque>
#include <string>
#include <vector>

class QWidget;

namespace sonorix::ui {

enum class MessageKind { Error, Warning, Question, Information };
enum class MessageAnswer { Ok, Yes, No, Cancel };

struct MessageRecord {
    std::string text;
    std::string caption;
    MessageKind kind;
};

MessageAnswer message_box(QWidget* owner, const std::string& text, const std::string& caption, MessageKind kind);

// The flag words the handlers pass, and the answers of a Yes/No question.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// A question of three answers over owner: Yes under yes_label, No under
// no_label, and Cancel (also the Escape key). Scripted like the others.
MessageAnswer ask_three(QWidget* owner, const std::string& text, const std::string& caption,
                        const std::string& yes_label, const std::string& no_label);

// A box over owner.
int MessageBoxA(QWidget* owner, const std::string& text, const std::string& caption, unsigned flags);

// The application object's box: over the active window; the application's
// title is the usual caption.
struct TApplication {
    std::string Title;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
};
extern TApplication Application;

// Records every message while alive and answers questions from answers (Yes
// when it runs out).
class ScriptedMessages {
public:
    ScriptedMessages();
    ~ScriptedMessages();
    ScriptedMessages(const ScriptedMessages&) = delete;
    ScriptedMessages& operator=(const ScriptedMessages&) = delete;

    std::vector<MessageRecord> shown;
    std::deque<MessageAnswer> answers;

    bool saw(const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear() { shown.clear(); }
};

}  // namespace sonorix::ui
