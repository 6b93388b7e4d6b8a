// Small text helpers of the workflow rules (ASCII case, blanks).
#pragma once

#include <string>

namespace sonorix {

std::string upper_text(std::string s);
std::string lower_text(std::string s);
std::string trim_blanks(const std::string& s);

}  // namespace sonorix
