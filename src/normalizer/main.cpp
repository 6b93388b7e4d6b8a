#include <iostream>

#include "normalizer/wav_level.h"

int main(int argc, char** argv) {
    return sonorix::normalizer::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
