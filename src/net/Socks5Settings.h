#pragma once
// The SOCKS 5 settings of the client tools' proxy panels ("Use Proxy",
// "Authenticate", address, port, user code, password), and how they go
// onto a socket before it connects.

#include <string>

namespace qordex {

class TWSocket;

struct TSocks5Settings {
    bool use = false;
    bool authenticate = false;
    std::string address, port, user, password;
};

// Copies the settings to a socket before it connects (a close of the socket
// forgets them): SOCKS 5 through the given server, with the user code and
// password only when authenticating; without `use`, a direct connection.
void ApplySocks5(TWSocket& socket, const TSocks5Settings& s);

} // namespace qordex
