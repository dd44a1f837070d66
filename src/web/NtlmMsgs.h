#pragma once
// NTLM version 1 messages for HTTP authentication: the negotiate message
// (type 1), the server's challenge (type 2) and the answer (type 3) with
// its LM and NT responses.  Messages travel Base64-encoded after "NTLM ".
// Texts are taken as UTF-8 and sent as UTF-16LE of their characters.

#include <string>
#include <string_view>

namespace qordex::web {

// Layout of the messages.
inline constexpr std::size_t kNtlmType1Size = 32;
inline constexpr std::size_t kNtlmType2MinSize = 32; // up to the flags and the challenge
inline constexpr std::size_t kNtlmType3HeaderSize = 64;
inline constexpr unsigned kNtlmType1Flags = 0x00008207; // Unicode, OEM, target, NTLM, sign
inline constexpr unsigned kNtlmType3Flags = 0x00008205;
// The Base64 text of a challenge that is decoded at most.
inline constexpr std::size_t kNtlmMaxChallengeText = 1000;

// What a type-2 message carries.
struct TNTLM_Msg2_Info {
    bool Success = false;   // false: empty, too short or not readable
    std::string Challenge;  // 8 bytes (zeros when the message failed)
    std::string TargetName; // the names as UTF-8
    std::string ServerName;
    std::string DomainName;
};

// The Base64 text of the type-1 message (always the same 32 bytes).
std::string NtlmGetMessage1();

// Decodes the Base64 text of a type-2 message.  Every offset and length is
// checked against the decoded size; a message under 32 bytes fails.
TNTLM_Msg2_Info NtlmGetMessage2(std::string_view base64);

// The Base64 text of the type-3 message.
std::string NtlmGetMessage3(std::string_view user, std::string_view password,
                            std::string_view workstation, std::string_view challenge);

// The 24-byte responses to an 8-byte challenge.
std::string NtlmLmResponse(std::string_view password, std::string_view challenge);
std::string NtlmNtResponse(std::string_view password, std::string_view challenge);

// UTF-16LE of a UTF-8 text (bytes that are not UTF-8 count as Latin-1).
std::string ToUtf16Le(std::string_view utf8);

} // namespace qordex::web
