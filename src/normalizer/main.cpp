#include <cstring>
#include <iostream>

#include "normalizer/wav_level.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "sonorix-normalize " SONORIX_VERSION "\n";
        return 0;
    }
    return sonorix::normalizer::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
