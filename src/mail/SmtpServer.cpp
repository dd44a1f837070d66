#include "mail/SmtpServer.h"

#include "base/Text.h"
#include "mail/SmtpServerText.h"

namespace qordex::mail {

TSmtpClient::TSmtpClient() : reader_(kMaxSmtpServerLine) {}

TSmtpServer::TSmtpServer() {
    server_.SetClientClass<TSmtpClient>();
    server_.OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t error) {
        ClientConnect(c, error);
    };
    server_.OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
        ClientDisconnect(c);
    };
    // A failure of the listening socket never stops it.
    server_.OnBgException = [](TCustomWSocket*, const std::exception&, bool& canClose) {
        canClose = false;
    };
}

TSmtpServer::~TSmtpServer() {
    // The clients go with the socket server and raise nothing more.
    OnClientDisconnect = nullptr;
    server_.OnClientDisconnect = nullptr;
}

bool TSmtpServer::Active() const {
    return server_.State() == wsListening;
}

void TSmtpServer::SetActive(bool v) {
    if (v == Active())
        return;
    if (!v) {
        server_.Close();
        return;
    }
    server_.SetProto("tcp");
    server_.SetAddr(srvAddr_);
    server_.SetLocalAddr(srvAddr_);
    server_.SetPort(srvPort_);
    server_.SetLocalPort(srvPort_);
    // Clients wait for the greeting, so a connection dropped from a full
    // accept queue would hang until its own timeout: keep a long queue.
    server_.SetListenBacklog(128);
    server_.SetBanner(helloMessage_.empty() ? std::string("220  SMTP Server Ready.")
                                            : "220 " + helloMessage_);
    try {
        server_.Listen();
    } catch (...) {
        // Nothing stays half open, so the next start begins clean.
        server_.Close();
        throw;
    }
}

void TSmtpServer::ClientConnect(TWSocketClient* c, std::uint16_t error) {
    auto* client = dynamic_cast<TSmtpClient*>(c);
    if (error || !client)
        return;
    client->SetLineMode(false);
    client->SetLineEnd("\r\n");
    client->OnDataAvailable = [this, client](TCustomWSocket*, std::uint16_t) {
        DataAvailable(client);
    };
    // Reading resumes once the replies a busy client left unread are gone.
    client->OnDataSent = [client](TCustomWSocket*, std::uint16_t) {
        if (client->Paused())
            client->Resume();
    };
    // An exception in a client's handlers ends that client only.
    client->OnBgException = [](TCustomWSocket*, const std::exception&, bool& canClose) {
        canClose = true;
    };
    if (OnClientConnect)
        OnClientConnect(this, client);
}

void TSmtpServer::ClientDisconnect(TWSocketClient* c) {
    auto* client = dynamic_cast<TSmtpClient*>(c);
    if (!client)
        return;
    const std::weak_ptr<char> alive = alive_;
    // Whatever whole lines of a message came in before the end are handed on.
    if (client->state_ == TSmtpClient::smtpData && !FlushBlock(client, false))
        return;
    if (alive.expired())
        return;
    if (OnClientDisconnect)
        OnClientDisconnect(this, client);
}

void TSmtpServer::DataAvailable(TSmtpClient* client) {
    const std::weak_ptr<char> alive = alive_;
    char buf[16384];
    for (;;) {
        if (client->State() != wsConnected)
            return;
        if (client->BufferedBytes() > TSmtpClient::kMaxReplyBacklog) {
            client->Pause();
            return;
        }
        const int n = client->Receive(buf, int(sizeof buf));
        if (n <= 0)
            return;
        if (client->state_ == TSmtpClient::smtpFinished)
            continue; // nothing after QUIT counts
        client->reader_.Append({buf, std::size_t(n)});
        std::string line;
        for (;;) {
            const TLineReader::Result r = client->reader_.Next(line);
            if (r == TLineReader::Result::NeedMore)
                break;
            if (!HandleLine(client, line, r == TLineReader::Result::TooLong))
                return;
            if (client->state_ == TSmtpClient::smtpFinished) {
                client->reader_.Reset();
                break;
            }
        }
        // Each read's message lines are handed on at once, so that a client
        // vanishing in the middle of DATA leaves what it sent stored.
        if (client->state_ == TSmtpClient::smtpData && !FlushBlock(client, false))
            return;
    }
}

bool TSmtpServer::HandleLine(TSmtpClient* client, const std::string& line, bool tooLong) {
    if (client->state_ == TSmtpClient::smtpData)
        return HandleDataLine(client, line, tooLong);
    if (tooLong) {
        // RFC 5321, 4.5.3.1.6: the command is refused, the dialogue goes on.
        Reply(client, "500 Line too long");
        return true;
    }
    return HandleCommand(client, line);
}

bool TSmtpServer::HandleCommand(TSmtpClient* client, const std::string& line) {
    const std::weak_ptr<char> alive = alive_;
    auto gone = [&] { return alive.expired() || !server_.IsClient(client); };
    client->command_ = SmtpCommandWord(line);
    const std::string& cmd = client->command_;

    if (client->state_ == TSmtpClient::smtpFinished)
        return true;
    if (client->state_ == TSmtpClient::smtpWaitHello) {
        if (cmd != "HELO" && cmd != "EHLO") {
            Reply(client, "500 command not recognized");
            return true;
        }
        client->userName_ = SmtpHelloName(line);
        std::string answer;
        bool shouldClose = false;
        if (OnUsername)
            OnUsername(this, client, client->userName_, answer, shouldClose);
        if (gone())
            return false;
        client->state_ = TSmtpClient::smtpCommands;
        const std::string peer = client->GetPeerAddr();
        if (!shouldClose) {
            client->loggedIn_ = true;
            Reply(client, "250 OK User " + client->userName_ + " from IP " + peer + " is welcome");
        } else {
            client->loggedIn_ = false;
            Reply(client, "550 User " + client->userName_ + " from IP " + peer + " is unknown");
        }
        return true;
    }
    if (!client->loggedIn_) {
        Reply(client, "550 mailbox unavailable or not logged in");
        client->state_ = TSmtpClient::smtpFinished;
        client->Shutdown(1);
        return true;
    }

    std::string answer;
    if (cmd == "MAIL") {
        answer = "250 OK ";
        if (OnMailFrom)
            OnMailFrom(this, client, SmtpPathArgument(line, false), answer);
        answer = Trim(answer);
    } else if (cmd == "RCPT") {
        const std::string address = SmtpPathArgument(line, true);
        answer = "250 OK Send to <" + address + "> is allowed";
        if (OnMailTo)
            OnMailTo(this, client, address, answer);
        answer = Trim(answer);
    } else if (cmd == "VRFY") {
        bool known = false;
        std::string mailAddr;
        if (OnVerifyUser)
            OnVerifyUser(this, client, SmtpArgument(line, 5), known, mailAddr);
        answer = known ? "250 OK " + mailAddr : std::string("550 does not match anything");
    } else if (cmd == "DATA") {
        client->messageFailed_ = false;
        client->lineTooLong_ = false;
        client->block_.clear();
        answer = "354 Start mail input; end with <CRLF>.<CRLF>";
        if (OnSendDataInit)
            OnSendDataInit(this, client);
        if (gone())
            return false;
        client->state_ = TSmtpClient::smtpData;
    } else if (cmd == "RSET") {
        answer = "250 OK";
        if (OnReset)
            OnReset(this, client, answer);
    } else if (cmd == "NOOP") {
        answer = "250 OK ";
    } else if (cmd == "HELP") {
        answer = "211 DATA HELO MAIL NOOP QUIT RCPT RSET VRFY";
        if (OnHelp)
            OnHelp(this, client, SmtpArgument(line, 5), answer);
    } else if (cmd == "QUIT") {
        answer = "221 Goodbye.";
        if (OnQuit)
            OnQuit(this, client, answer);
        if (gone())
            return false;
        client->state_ = TSmtpClient::smtpFinished;
        Reply(client, answer);
        // The reply goes out before the connection closes.
        client->CloseLater();
        return true;
    } else if (cmd == "TURN" || cmd == "SEND" || cmd == "SOML" || cmd == "SAML" ||
               cmd == "EXPN") {
        answer = "502 Command not implemented";
    } else {
        answer = "500 command not recognized";
        if (OnUnknownCmd)
            OnUnknownCmd(this, client, line, answer);
    }
    if (gone())
        return false;
    Reply(client, answer);
    return true;
}

bool TSmtpServer::HandleDataLine(TSmtpClient* client, const std::string& line, bool tooLong) {
    if (tooLong) {
        // Storing the cut line would corrupt the message: it fails instead.
        client->lineTooLong_ = true;
        return true;
    }
    if (line != ".") {
        client->block_ += SmtpUnstuff(line);
        client->block_ += "\r\n";
        return client->block_.size() < TSmtpClient::kDataBlock || FlushBlock(client, false);
    }
    if (!FlushBlock(client, true))
        return false;
    client->state_ = TSmtpClient::smtpCommands;
    if (client->messageFailed_)
        Reply(client, "451 Requested action aborted: local error in processing");
    else if (client->lineTooLong_)
        Reply(client, "500 Line too long");
    else
        Reply(client, "250 OK ");
    return true;
}

bool TSmtpServer::FlushBlock(TSmtpClient* client, bool last) {
    if (!last && client->block_.empty())
        return true;
    const std::string block = std::move(client->block_);
    client->block_.clear();
    const std::weak_ptr<char> alive = alive_;
    if (OnSendData)
        OnSendData(this, client, last, block);
    return !alive.expired() && server_.IsClient(client);
}

void TSmtpServer::Reply(TSmtpClient* client, const std::string& answer) {
    if (client->State() == wsConnected)
        client->SendText(answer + "\r\n");
}

} // namespace qordex::mail
