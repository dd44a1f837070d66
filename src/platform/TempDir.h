#pragma once

#include <string>

namespace qordex {

// The system's temporary directory with a trailing separator ($TMPDIR, else /tmp/).
std::string SystemTempDirectory();

} // namespace qordex
