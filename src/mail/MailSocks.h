#pragma once
// The mail tools' proxy panels hold the SOCKS 5 settings every client tool shares.

#include "net/Socks5Settings.h"

namespace qordex::mail {

using TMailSocksSettings = TSocks5Settings;

inline void ApplyMailSocks(TWSocket& socket, const TMailSocksSettings& s) {
    ApplySocks5Settings(socket, s);
}

} // namespace qordex::mail
