// The pages the window opens in the default browser.
#pragma once

#include <string>

namespace sonorix::ui {

// The maker's home page.
extern const char* const kMakerHomePage;
// The help page's file name.
extern const char* const kHelpFileName;

// The help page of the running program: in its install's share folder, else
// beside the program (the build tree).
std::string help_page_path();

// Opens a web address or a local file in the default browser. Tests replace
// the opener to see what would be opened.
void open_page(const std::string& address_or_file);
void set_page_opener(void (*opener)(const std::string&));

}  // namespace sonorix::ui
