// sonorix: the desktop window.
#include "app/forms.h"

int main(int argc, char** argv) { return sonorix::ui::run_program(argc, argv); }
