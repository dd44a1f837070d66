#pragma once
// A socket failure as the tools print it: in a pane or on a terminal.

#include "net/WSocket.h"

#include <string>
#include <vector>

namespace qordex {

// The lines of the failure's message: the socket layer's "Error n in
// function f" CR LF "text" becomes two lines.  A permission refused on a
// `port` below 1024 gets one more line saying why.
std::vector<std::string> FailureLines(const ESocketException& e, const std::string& port);

} // namespace qordex
