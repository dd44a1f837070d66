#pragma once
// The SOCKS client's messages as plain bytes: the requests it sends to a
// proxy (RFC 1928 for version 5, RFC 1929 for user name / password, the
// version 4 and 4A requests) and readers for the proxy's replies.  No
// socket here; the socket layer feeds the readers what it has received so
// far and acts on their verdict.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qordex::socks {

// The error codes that a failed negotiation reports.
enum SocksErrorCode : int {
    socksErrLogic = 20001,          // a reply the negotiation cannot have asked for
    socksErrVersion = 20002,        // the reply is not of the version spoken
    socksErrMethod = 20003,         // the proxy accepts none of the methods offered
    socksErrGeneralFailure = 20004, // version 5 reply codes 1 to 8: 20004 to 20011
    socksErrConnectionRefused = 20008,
    socksErrAddressType = 20011,
    socksErrUnassigned = 20012, // a reply code no standard assigns
    socksErrInternal = 20013,
    socksErrAuthentication = 20015,
    socksErrRejected = 20016,
    socksErrResolve = 20017, // the version 4 destination has no address
};

// The longest name, user name or password a request carries: every length
// travels in one byte (RFC 1928, section 5; RFC 1929, section 2).
constexpr std::size_t kMaxFieldLength = 255;

// Room for the proxy's reply and what may follow it in the same read.  The
// longest reply (version 5 with a 255-byte bound name) is 262 bytes.
constexpr std::size_t kReplyBufferSize = 512;

// Method numbers of the version 5 greeting.
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUserPass = 2;

// What a reader makes of the bytes received so far.
struct Reply {
    enum Status { NeedMore, Done, Failed };
    Status status = NeedMore;
    int code = 0;            // when Failed: one of SocksErrorCode
    std::string message;     // when Failed: the text reported with the code
    std::size_t length = 0;  // when Done: the bytes that form the reply
    std::uint8_t method = 0; // the method chosen, for the greeting's reply
};

// The version 5 greeting offering one method: 5, 1, method.
std::string Greeting(std::uint8_t method);

// The user name / password request: 1, length, name, length, password.
// Nothing when a field is longer than kMaxFieldLength.
std::optional<std::string> Credentials(std::string_view user, std::string_view password);

// The version 4 connect request: 4, 1, port, address, user id, 0; for 4A
// (`host4A` not empty) the address is 0.0.0.1 and the host name follows.
// `addr` is in network order, `port` in host order.  Nothing when the user
// id or the host name is longer than kMaxFieldLength.
std::optional<std::string> V4Request(std::uint16_t port, std::uint32_t addr,
                                     std::string_view userId, std::string_view host4A);

// The version 5 connect request with the host always as a name (type 3),
// so the proxy resolves it.  Nothing when the name is empty or longer than
// kMaxFieldLength.
std::optional<std::string> V5Request(std::string_view host, std::uint16_t port);

// Readers of the replies, over the bytes received so far.
// The reply to the greeting: version 5 and the method chosen (Done at 2 bytes).
Reply ReadMethodReply(std::string_view r);
// The reply to user name / password: 1, status; both bytes are awaited.
Reply ReadAuthReply(std::string_view r);
// The version 4 reply: 0, code, port, address (Done at 8 bytes).
Reply ReadV4Reply(std::string_view r);
// The version 5 reply: 5, code, 0, address type, bound address, port.
// Address types 1 (IPv4), 3 (name) and 4 (IPv6) are understood.
Reply ReadV5Reply(std::string_view r);

} // namespace qordex::socks
