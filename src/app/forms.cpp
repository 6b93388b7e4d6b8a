#include "app/forms.h"

#include <clocale>
#include <iostream>

#include <QApplication>
#include <QFileInfo>
#include <QMetaObject>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>

#include "app/messages.h"
#include "app/p_about.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_flash.h"
#include "app/p_options.h"
#include "app/settings.h"
#include "app/xp_main.h"
#include "base/MainThreadQueue.h"

namespace sonorix::ui {

Tmain* main = nullptr;
Tabout* about = nullptr;
Tbatchaudioc* batchaudioc = nullptr;
Toptions* options = nullptr;
Tanalyzeaudio* analyzeaudio = nullptr;

namespace {

// Workers queue calls for the main thread from any thread; a queued call on
// the application object runs them from whichever Qt loop is running, the
// modal dialogs' loops included.
void connect_engine_queue() {
    MainThreadQueue& queue = MainThreadQueue::Instance();
    queue.SetMainThread();
    queue.SetWakeUpHook([] {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app, [] { MainThreadQueue::Instance().Drain(); }, Qt::QueuedConnection);
        }
    });
    queue.SetProcessMessagesHook([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}

int print_list() {
    // The files join the list from the adding thread: wait for all of them.
    while (main->adding_files()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (int i = 0; i < main->ListView1->topLevelItemCount(); ++i) {
        std::cout << main->ListView1->topLevelItem(i)->text(0).toStdString() << "\n";
    }
    std::cout.flush();
    return 0;
}

}  // namespace

QStringList command_line_files(const QStringList& arguments) {
    QStringList files;
    for (const QString& argument : arguments) {
        // A file manager may hand over file: addresses; relative names are the
        // caller's working folder's.
        const QUrl url(argument);
        const QString path = url.isLocalFile() ? url.toLocalFile() : argument;
        if (!path.isEmpty()) files << QFileInfo(path).absoluteFilePath();
    }
    return files;
}

void create_forms() {
    // QApplication takes the user's locale for the C library too; option
    // texts and the libraries' number parsing need "." whatever it is.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setApplicationName("Sonorix");
    Application.Title = "Sonorix";
    connect_engine_queue();
    main = new Tmain;
    about = new Tabout(main);
    batchaudioc = new Tbatchaudioc(main);
    options = new Toptions(main);
    analyzeaudio = new Tanalyzeaudio(main);
    // A window whose start-up failed neither takes nor overwrites them.
    if (main->started()) load_settings(*main, *options);
    QObject::connect(options->bt_reset, &QPushButton::clicked, options, [] { reset_settings(*main, *options); });
}

void free_forms() {
    if (main && options && main->started()) save_settings(*main, *options);
    delete analyzeaudio;
    delete options;
    delete batchaudioc;
    delete about;
    analyzeaudio = nullptr;
    options = nullptr;
    batchaudioc = nullptr;
    about = nullptr;
    delete main;
    main = nullptr;
    MainThreadQueue::Instance().SetWakeUpHook(nullptr);
    MainThreadQueue::Instance().SetProcessMessagesHook(nullptr);
    MainThreadQueue::Instance().Drain();
}

int run_program(int argc, char** argv) {
    QApplication app(argc, argv);
    auto* flash = new Tflash;
    flash->show();
    flash->repaint();
    QCoreApplication::processEvents();
    create_forms();
    flash->close();
    delete flash;
    main->show();
    main->open_files(command_line_files(QCoreApplication::arguments().mid(1)));
    // For the install check: the list's rows on stdout instead of a session.
    const int status = qEnvironmentVariableIsSet("SONORIX_PRINT_LIST") ? print_list() : QApplication::exec();
    free_forms();
    return status;
}

}  // namespace sonorix::ui
