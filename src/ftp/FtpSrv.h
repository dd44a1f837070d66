#pragma once
// The FTP server (RFC 959): a listening socket server whose clients are
// control connections, each with one data socket of its own.  The files it
// serves live under each client's HomeDir, which the client sees as "/";
// every path a client names is resolved beneath that folder by the kernel,
// so neither "..", absolute names nor symbolic links lead outside it.
//
// Lifetimes: the server owns its clients (through the socket server) and
// each client owns its data socket and listener.  Events may close the
// client they name; deferred work is posted to the server's window and
// looks the client up by ID again before it acts.

#include "net/WSocketServer.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qordex::ftp {

class FtpServerException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TFtpCtrlState { ftpcInvalid, ftpcWaitingUserCode, ftpcWaitingPassword, ftpcReady, ftpcWaitingAnswer };

enum TFtpsOption : unsigned { ftpsCwdCheck = 1u << 0, ftpsCdupHome = 1u << 1 };
using TFtpsOptions = unsigned;

class TFtpServer;

// One control connection.
class TFtpCtrlSocket : public TWSocketClient {
public:
    TFtpCtrlSocket();
    ~TFtpCtrlSocket() override;

    // The line buffer: a line must fit in RcvSize - 1 bytes.
    int RcvSize() const { return rcvSize_; }
    void SetRcvSize(int v);

    TFtpCtrlState FtpState = ftpcInvalid;
    std::string UserName, PassWord;
    long UserData = 0;
    std::uint64_t ID = 0;
    std::string HomeDir;        // the host folder served as "/"
    std::string Directory = "/"; // the virtual current directory, ending in "/"
    std::string DataAddr, DataPort = "ftp-data";
    std::string FileName;       // as the client named it
    std::string FilePath;       // virtual path of the transfer's file
    bool HasOpenedFile = false;
    std::int64_t RestartPos = 0;
    std::int64_t ByteCount = 0;
    bool AbortingTransfer = false;
    std::string AbortingReason;
    bool PassiveMode = false, PassiveStart = false, PassiveConnected = false;
    bool DataSessionActive = false;
    bool BinaryMode = false;
    std::string FromFileName, ToFileName;
    std::string LastCommand;
    std::time_t SessionStartTime = 0, LastCommandTime = 0;
    int CommandCount = 0;
    TFtpsOptions Options = 0;

    TWSocket* DataSocket() const { return data_.get(); }

    // The greeting (or the busy notice) goes out as a reply of the server.
    void SendBanner() override;
    TFtpServer* FtpServer() const { return ftpServer_; }

    // Raised with every command line received (before parsing).
    std::function<void(TFtpCtrlSocket* Sender, const char* CmdBuf, int CmdLen)> OnCommand;

private:
    friend class TFtpServer;

    void DataAvailable();
    void DeliverLines();

    TFtpServer* ftpServer_ = nullptr;
    int rcvSize_ = 2048;
    std::string inbuf_;          // bytes of unfinished lines, < rcvSize_
    bool closeAfterSent_ = false; // close once all output went out
    bool overflowed_ = false;     // an over-long line closed the session

    std::unique_ptr<TWSocket> data_;      // the data connection
    std::unique_ptr<TWSocket> pasvListen_; // the passive listener
    int pasvPort_ = 0;                    // the port of the range held, 0 none
    enum class Dir { None, Recv, Send } dir_ = Dir::None;
    bool transfer_ = false;   // a transfer is prepared and waits for its end
    bool halfClosed_ = false; // the sending side was shut down
    bool sending_ = false;    // the data connection of a send is up
    int fd_ = -1;             // the file of the transfer
    std::string memData_;     // a listing being sent
    std::size_t memPos_ = 0;
    bool fromMemory_ = false;
    bool sendEnded_ = false;
    bool renameReady_ = false; // the previous command was a good RNFR
    bool appendMode_ = false;
    bool uniqueMode_ = false;
    std::vector<char> block_;
    // An MD5 in progress, read a block per turn of the loop.
    struct Md5Job;
    std::unique_ptr<Md5Job> md5_;
};

class TFtpServer {
public:
    TFtpServer();
    ~TFtpServer();
    TFtpServer(const TFtpServer&) = delete;
    TFtpServer& operator=(const TFtpServer&) = delete;

    // ---- properties ----
    std::string Addr = "0.0.0.0";
    std::string Port = "ftp";
    std::string Banner = "220 Qordex FTP Server ready.";
    long UserData = 0;
    int MaxClients = 0; // 0: no limit
    std::string PasvIpAddr;
    TFtpsOptions Options = 0;
    int PasvPortRangeStart() const { return pasvStart_; }
    void SetPasvPortRangeStart(int v);
    int PasvPortRangeSize() const { return pasvSize_; }
    void SetPasvPortRangeSize(int v);
    // The name of the listener; clients are named "ClientWSocket" + ID.
    std::string Name = "FtpServer";

    // ---- events (Sender is the server) ----
    using Client = TFtpCtrlSocket;
    std::function<void(TFtpServer*)> OnStart, OnStop;
    std::function<void(TFtpServer*, Client*, int AError)> OnClientConnect, OnClientDisconnect;
    std::function<void(TFtpServer*, Client*, std::string& Keyword, std::string& Params,
                       std::string& Answer)>
        OnClientCommand;
    std::function<void(TFtpServer*, Client*, std::string& Answer)> OnAnswerToClient;
    // Without a handler every login is refused.
    std::function<void(TFtpServer*, Client*, const std::string& UserName,
                       const std::string& Password, bool& Authenticated)>
        OnAuthenticate;
    std::function<void(TFtpServer*, Client*, const std::string& Directory, bool& Allowed)>
        OnChangeDirectory, OnMakeDirectory;
    using ValidateFn = std::function<void(TFtpServer*, Client*, std::string& FilePath, bool& Allowed)>;
    ValidateFn OnValidatePut, OnValidateGet, OnValidateSize, OnValidateDele, OnValidateRmd,
        OnValidateRnFr, OnValidateRnTo, OnValidateMfmt;
    std::function<void(TFtpServer*, Client*, std::string& FileName)> OnGetUniqueFileName;
    std::function<void(TFtpServer*, Client*, std::string& FilePath, std::string& Md5Sum,
                       bool& Allowed)>
        OnCalculateMd5;
    std::function<void(TFtpServer*, Client*, std::string& Listing, bool Detailed)>
        OnAlterDirectory;
    std::function<void(TFtpServer*, Client*, bool& DelayedSend)> OnGetProcessing;
    using DataFn = std::function<void(TFtpServer*, Client*, TWSocket* Data, int AError)>;
    DataFn OnStorSessionConnected, OnStorSessionClosed, OnRetrSessionConnected,
        OnRetrSessionClosed, OnRetrDataSent;
    std::function<void(TFtpServer*, Client*, TWSocket* Data, const char* Buf, int Len, int AError)>
        OnStorDataAvailable;

    // ---- operations ----
    // Listens on Addr:Port; ESocketException when that fails.
    void Start();
    // Stops listening; connected clients stay.
    void Stop();
    void DisconnectAll();
    bool Active() const;
    int ClientCount() const;
    Client* GetClient(int index) const;
    // The port actually listened on (for Port "0").
    std::string BoundPort() const;
    void SendAnswer(Client* client, std::string answer);
    // Starts a delayed RETR data phase (posted).
    void DoStartSendData(Client* client);

    // Size of a transfer block.
    static constexpr int kDataBlock = 256 * 1024;

private:
    class Listener;
    friend class TFtpCtrlSocket;
    using Handler = void (TFtpServer::*)(Client*, const std::string& params, std::string& answer);
    struct CommandEntry {
        const char* keyword;
        Handler handler;
        bool login;
    };

    void ClientCreated(TWSocketClient* c);
    void ClientConnected(TWSocketClient* c, int error);
    void ClientGone(TWSocketClient* c, int error);
    void Notice(unsigned msg, std::uint64_t id);
    Client* FindClient(std::uint64_t id) const;
    void Post(unsigned msg, Client* c);
    void ProcessLine(Client* c, const std::string& line);
    void CloseWhenSent(Client* c);

    // Paths: each returns false (and leaves `host` empty) when the virtual
    // path is refused.
    bool Virtual(Client* c, const std::string& arg, std::string& vpath) const;
    // Asks the permission handler (allowed when there is none).
    bool Permitted(Client* c, std::string& path, const ValidateFn& handler);
    // Opens a command on one named entry: its virtual path `v`, then the
    // handler's permission (asked even without an argument, as the replies
    // tell apart).  False, with the reply in `a`, when the command stops.
    bool Admit(Client* c, const std::string& p, std::string& v, const ValidateFn& handler,
               const char* refusal, const char* noArgument, std::string& a);

    // ---- commands ----
    void CmdUser(Client*, const std::string&, std::string&);
    void CmdPass(Client*, const std::string&, std::string&);
    void CmdQuit(Client*, const std::string&, std::string&);
    void CmdNoop(Client*, const std::string&, std::string&);
    void CmdStru(Client*, const std::string&, std::string&);
    void CmdAbor(Client*, const std::string&, std::string&);
    void CmdOver(Client*, const std::string&, std::string&);
    void CmdCwd(Client*, const std::string&, std::string&);
    void CmdCdup(Client*, const std::string&, std::string&);
    void CmdPwd(Client*, const std::string&, std::string&);
    void CmdSyst(Client*, const std::string&, std::string&);
    void CmdType(Client*, const std::string&, std::string&);
    void CmdMode(Client*, const std::string&, std::string&);
    void CmdPort(Client*, const std::string&, std::string&);
    void CmdPasv(Client*, const std::string&, std::string&);
    void CmdRest(Client*, const std::string&, std::string&);
    void CmdStor(Client*, const std::string&, std::string&);
    void CmdAppe(Client*, const std::string&, std::string&);
    void CmdStou(Client*, const std::string&, std::string&);
    void CmdRetr(Client*, const std::string&, std::string&);
    void CmdList(Client*, const std::string&, std::string&);
    void CmdNlst(Client*, const std::string&, std::string&);
    void CmdMlsd(Client*, const std::string&, std::string&);
    void CmdMlst(Client*, const std::string&, std::string&);
    void CmdSize(Client*, const std::string&, std::string&);
    void CmdDele(Client*, const std::string&, std::string&);
    void CmdRnfr(Client*, const std::string&, std::string&);
    void CmdRnto(Client*, const std::string&, std::string&);
    void CmdMkd(Client*, const std::string&, std::string&);
    void CmdRmd(Client*, const std::string&, std::string&);
    void CmdMdtm(Client*, const std::string&, std::string&);
    void CmdFeat(Client*, const std::string&, std::string&);
    void CmdMd5(Client*, const std::string&, std::string&);

    // ---- data side ----
    void Listing(Client* c, const std::string& params, int kind, std::string& answer);
    void PrepareReceive(Client* c);
    void StartSend(Client* c);
    void DataConnected(Client* c, int error);
    void DataReadable(Client* c);
    void SendNextBlock(Client* c);
    void DataSent(Client* c, int error);
    void DataClosed(Client* c, int error);
    void AbortData(Client* c);
    void HalfClose(Client* c);
    void PasvAccept(Client* c);
    void ReleasePasvPort(Client* c);
    void CloseFile(Client* c);
    bool OpenForWrite(Client* c);
    bool OpenForRead(Client* c);
    void FailedInPassive(Client* c);
    void ConnectActive(Client* c);
    TWSocket& NewDataSocket(Client* c);
    void Md5Step(std::uint64_t id);

    std::unique_ptr<Listener> listener_;
    std::vector<CommandEntry> commands_;
    std::vector<bool> pasvUsed_;
    int pasvStart_ = 0, pasvSize_ = 0;
    std::uint64_t counter_ = 0;
    bool destroying_ = false;
};

} // namespace qordex::ftp
