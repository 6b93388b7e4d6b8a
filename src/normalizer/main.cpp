#include <csignal>
#include <cstring>
#include <iostream>

#include "normalizer/sound_file.h"
#include "normalizer/wav_level.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "sonorix-normalize " SONORIX_VERSION "\n";
        return 0;
    }
    sonorix::normalizer::remove_temporary_files_on_signals();
    // A caller that stops reading must not end a rewrite half way: the
    // output is lost, the files are finished.
    std::signal(SIGPIPE, SIG_IGN);
    return sonorix::normalizer::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
