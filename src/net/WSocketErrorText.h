#pragma once

#include <string>

namespace qordex {

// English text of a socket error number; "Not a WinSock error" for unknown codes.
std::string WSocketErrorText(int code);

} // namespace qordex
