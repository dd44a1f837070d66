#pragma once
// A small receive-only SMTP server: a socket server whose clients answer the
// SMTP commands with fixed replies and hand every step to the owner through
// events, which may change the answers.  The dialogue runs line by line,
// whatever way the reads split the input: pipelined commands, a command
// over several reads and the final dot in a read of its own all work.
//
// Every handler may close or abort its client; the client object itself is
// freed by the socket server after OnClientDisconnect.  A handler may free
// the server too (its clients go with it).

#include "base/LineReader.h"
#include "net/WSocketServer.h"

#include <functional>
#include <string>

namespace qordex::mail {

class TSmtpServer;

// One connection of the server and its dialogue state.
class TSmtpClient : public TWSocketClient {
public:
    enum TSmtpState {
        smtpWaitHello = 0, // before HELO or EHLO
        smtpCommands = 1,  // after HELO
        smtpData = 2,      // between DATA and the final dot
        smtpFinished = 3,  // after QUIT or a refused command; the rest is ignored
    };

    TSmtpClient();

    TSmtpState SmtpState() const { return state_; }
    bool LoggedIn() const { return loggedIn_; }
    // The command word of the line being handled, upper case.
    const std::string& CurrentCommand() const { return command_; }
    // The name given with HELO or EHLO.
    const std::string& UserName() const { return userName_; }

    // A handler of OnSendDataInit or OnSendData sets this when the message
    // cannot be kept (no file, disk full): the final dot is then answered
    // with a failure instead of "250 OK", so the client knows.
    void SetMessageFailed() { messageFailed_ = true; }
    bool MessageFailed() const { return messageFailed_; }

    // Replies waiting to go out beyond which the server stops reading the
    // client, so a peer that pipelines without reading cannot fill memory.
    static constexpr long long kMaxReplyBacklog = 256 * 1024;
    // Message bytes collected before they are handed on by OnSendData.
    static constexpr std::size_t kDataBlock = 64 * 1024;

private:
    friend class TSmtpServer;

    TSmtpState state_ = smtpWaitHello;
    bool loggedIn_ = false;
    bool messageFailed_ = false;
    bool lineTooLong_ = false; // a message line was cut: the message fails
    std::string command_;
    std::string userName_;
    std::string block_; // message bytes not yet handed on
    TLineReader reader_;
};

class TSmtpServer {
public:
    TSmtpServer();
    ~TSmtpServer();
    TSmtpServer(const TSmtpServer&) = delete;
    TSmtpServer& operator=(const TSmtpServer&) = delete;

    // ---- properties ----
    bool Active() const;
    // Listens (true) or closes the listening socket (false); connected
    // clients stay.  A failed listen throws ESocketException.
    void SetActive(bool v);
    const std::string& SrvAddr() const { return srvAddr_; }
    void SetSrvAddr(const std::string& v) { srvAddr_ = v; }
    const std::string& SrvPort() const { return srvPort_; }
    void SetSrvPort(const std::string& v) { srvPort_ = v; }
    // The greeting is "220 " + this text.
    const std::string& HelloMessage() const { return helloMessage_; }
    void SetHelloMessage(const std::string& v) { helloMessage_ = v; }
    // Kept for the owner; the server accepts any number of clients.
    int MaxUser() const { return maxUser_; }
    void SetMaxUser(int v) { maxUser_ = v; }

    // The listening socket; its clients are TSmtpClient objects.
    TWSocketServer& Socket() { return server_; }
    // The port actually listened on (useful with port 0).
    std::string BoundPort() { return server_.GetBoundPort(); }

    // ---- events ----
    using ClientEvent = std::function<void(TSmtpServer* Sender, TSmtpClient* Client)>;
    using AnswerEvent =
        std::function<void(TSmtpServer* Sender, TSmtpClient* Client, std::string& Answer)>;
    using TextAnswerEvent = std::function<void(TSmtpServer* Sender, TSmtpClient* Client,
                                               const std::string& Text, std::string& Answer)>;

    ClientEvent OnClientConnect;    // accepted, before the greeting
    ClientEvent OnClientDisconnect; // the connection ended; the client is freed after
    std::function<void(TSmtpServer* Sender, TSmtpClient* Client, const std::string& Username,
                       std::string& Answer, bool& ShouldClose)>
        OnUsername;              // HELO or EHLO; ShouldClose refuses the client
    TextAnswerEvent OnMailFrom;  // MAIL, with the sender's address
    std::function<void(TSmtpServer* Sender, TSmtpClient* Client, const std::string& User,
                       bool& KnownUser, std::string& MailAddr)>
        OnVerifyUser;            // VRFY
    TextAnswerEvent OnMailTo;    // RCPT, with the recipient's address
    ClientEvent OnSendDataInit;  // DATA accepted
    // A block of the message as the client meant it (dot-unstuffed, each
    // line with its CR LF); LastPart with the block before the final dot.
    std::function<void(TSmtpServer* Sender, TSmtpClient* Client, bool LastPart,
                       const std::string& Msg)>
        OnSendData;
    AnswerEvent OnReset;         // RSET
    TextAnswerEvent OnHelp;      // HELP, with its topic
    TextAnswerEvent OnUnknownCmd; // any other line, whole
    AnswerEvent OnQuit;          // QUIT

private:
    void ClientConnect(TWSocketClient* client, std::uint16_t error);
    void ClientDisconnect(TWSocketClient* client);
    void DataAvailable(TSmtpClient* client);
    // Handles one line; false when the client or the server went away.
    bool HandleLine(TSmtpClient* client, const std::string& line, bool tooLong);
    bool HandleCommand(TSmtpClient* client, const std::string& line);
    bool HandleDataLine(TSmtpClient* client, const std::string& line, bool tooLong);
    bool FlushBlock(TSmtpClient* client, bool last);
    void Reply(TSmtpClient* client, const std::string& answer);

    TWSocketServer server_;
    std::string srvAddr_ = "0.0.0.0";
    std::string srvPort_ = "Smtp";
    std::string helloMessage_ = "SMTP server ready.";
    int maxUser_ = 0;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

} // namespace qordex::mail
