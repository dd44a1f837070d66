#include "net/Socks5Settings.h"

#include "net/WSocket.h"

namespace qordex {

void ApplySocks5(TWSocket& socket, const TSocks5Settings& s) {
    if (!s.use) {
        socket.SetSocksServer("");
        socket.SetSocksPort("");
        return;
    }
    socket.SetSocksLevel("5");
    socket.SetSocksServer(s.address);
    socket.SetSocksPort(s.port);
    socket.SetSocksAuthentication(s.authenticate ? socksAuthenticateUsercode
                                                 : socksNoAuthentication);
    socket.SetSocksUsercode(s.authenticate ? s.user : "");
    socket.SetSocksPassword(s.authenticate ? s.password : "");
}

} // namespace qordex
