// Errors of the transcoder core: its exception class and the texts of the
// libraries' and the system's error codes.
#pragma once

#include <stdexcept>
#include <string>

namespace sonorix {

// Raised by the core for fatal set-up errors; the message is the core's
// last-error text.
class FFmpegException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of an error code: the libraries' error tags and the system's
// (negative) error numbers; "Error number %d occurred" for any other code.
std::string error_code_text(int code);

// "name: text" for an error that concerns a named object (a file, a URL).
std::string error_code_text(const std::string& name, int code);

// text, followed on a line of its own by the last error line the libraries
// logged on this thread (see LastLibraryError), when there is one.
std::string with_library_detail(const std::string& text);

}  // namespace sonorix
