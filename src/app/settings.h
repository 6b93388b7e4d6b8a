// What the window remembers between sessions: the page, each page's mode
// and figures, the options, the folders and the window's and columns'
// sizes, in the user's config folder ($XDG_CONFIG_HOME/sonorix/sonorix.conf).
// Main thread only.
#pragma once

#include <QString>

namespace sonorix::ui {

class Tmain;
class Toptions;

// The settings file, as the environment names the config folder now.
QString settings_file();
// Sets the window's and the options' controls from the file; a missing
// or unreadable value keeps the control as it is.
void load_settings(Tmain& window, Toptions& options);
void save_settings(const Tmain& window, const Toptions& options);
// The controls back to the program's defaults, and the file removed.
void reset_settings(Tmain& window, Toptions& options);

}  // namespace sonorix::ui
