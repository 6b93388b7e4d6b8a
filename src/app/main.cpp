// sonorix: the desktop window.
#include <cstring>
#include <iostream>

#include <QCoreApplication>

#include "app/forms.h"
#include "app/web.h"

int main(int argc, char** argv) {
    // Both answered without a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "sonorix " SONORIX_VERSION "\n";
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        const QCoreApplication app(argc, argv);
        std::cout << "Usage: sonorix [FILE...]\n"
                     "Opens the window. One media file loads on the Single File page; several go\n"
                     "into the list of the Multiple Files page.\n"
                     "Help page: "
                  << sonorix::ui::help_page_path() << "\n";
        return 0;
    }
    return sonorix::ui::run_program(argc, argv);
}
