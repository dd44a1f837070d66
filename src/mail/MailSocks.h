#pragma once
// The SOCKS 5 settings of the mail tools' proxy panels ("Proxy Socks5
// Configuration"), shared by the SMTP and POP3 clients and their commands.

#include <string>

namespace qordex {
class TWSocket;
}

namespace qordex::mail {

struct TMailSocksSettings {
    bool use = false;
    bool authenticate = false;
    std::string address, port, user, password;
};

// Copies the settings to a client's socket before it connects (a close of
// the socket forgets them): SOCKS 5 through the given server, with the user
// code and password only when authenticating; without `use`, a direct
// connection.
void ApplyMailSocks(TWSocket& socket, const TMailSocksSettings& s);

} // namespace qordex::mail
