// The forms of the program, created once at start in a fixed order and kept
// until the end; main thread only.
#pragma once

#include <QStringList>

namespace sonorix::ui {

class Tmain;
class Tabout;
class Tbatchaudioc;
class Toptions;
class Tanalyzeaudio;

extern Tmain* main;
extern Tabout* about;
extern Tbatchaudioc* batchaudioc;
extern Toptions* options;
extern Tanalyzeaudio* analyzeaudio;

// Sets the application's title and creates the forms in their order: the
// main window (its creation loads the media libraries), the about box, the
// progress dialog, the options dialog, the analysis dialog. Connects the
// engine's main-thread queue to the Qt loop. A QApplication must exist.
void create_forms();
// Frees them (the main window last: its components stop their tasks).
void free_forms();

// The program: splash, forms, the files it was given (see
// Tmain::open_files), message loop. With SONORIX_PRINT_LIST set it prints the
// list's rows, one a line, and ends instead of running the loop.
int run_program(int argc, char** argv);
// The program's file arguments as absolute paths (file: addresses too).
QStringList command_line_files(const QStringList& arguments);

}  // namespace sonorix::ui
