#pragma once
// The SOCKS 5 settings of the mail tools' proxy panels, shared by the SMTP
// and POP3 clients and their commands: the socket layer's own.

#include "net/Socks5Settings.h"

namespace qordex::mail {

using TMailSocksSettings = TSocks5Settings;

inline void ApplyMailSocks(TWSocket& socket, const TMailSocksSettings& s) {
    ApplySocks5(socket, s);
}

} // namespace qordex::mail
