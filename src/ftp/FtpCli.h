#pragma once
// The asynchronous FTP client (RFC 959): a control connection and a data
// connection, each a TWSocket.  Every operation either sends one command or
// runs a planned sequence of steps (connect, log in, change directory, set
// the type, open a data channel, transfer, quit); it returns at once and
// reports its end through one posted OnRequestDone.  Each operation has a
// blocking twin (…Sync) that pumps the thread's loop until the end.
//
// Control side in FtpCli.cpp; data channels, transfers, progress and the
// bandwidth limit in FtpCliData.cpp.
//
// Re-entrancy: event handlers may start the next operation, abort, or free
// the client; the client checks that it still lives after every event.

#include "ftp/BufStreams.h"
#include "ftp/FtpReply.h"
#include "net/WSocket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QTimer;

namespace qordex::ftp {

class FtpException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The class name shown in front of an exception's message in reply lines.
const char* ExceptionClassName(const std::exception& e);

// The request an OnRequestDone reports; ordinals 0 to 56, in this order.
enum TFtpRequest {
    ftpNone,
    ftpOpenAsync,
    ftpUserAsync,
    ftpPassAsync,
    ftpCwdAsync,
    ftpConnectAsync,
    ftpReceiveAsync,
    ftpDirAsync,
    ftpLsAsync,
    ftpPortAsync,
    ftpGetAsync,
    ftpDirectoryAsync,
    ftpListAsync,
    ftpSystemAsync,
    ftpSystAsync,
    ftpQuitAsync,
    ftpAbortXferAsync,
    ftpSizeAsync,
    ftpPutAsync,
    ftpAppendAsync,
    ftpFileSizeAsync,
    ftpRqAbort,
    ftpMkdAsync,
    ftpRmdAsync,
    ftpRenameAsync,
    ftpDeleAsync,
    ftpRenAsync,
    ftpRenToAsync,
    ftpRenFromAsync,
    ftpDeleteAsync,
    ftpMkdirAsync,
    ftpRmdirAsync,
    ftpPwdAsync,
    ftpQuoteAsync,
    ftpCDupAsync,
    ftpDoQuoteAsync,
    ftpTransmitAsync,
    ftpTypeSetAsync,
    ftpRestAsync,
    ftpRestGetAsync,
    ftpRestartGetAsync,
    ftpRestPutAsync,
    ftpRestartPutAsync,
    ftpMlsdAsync,
    ftpFeatAsync,
    ftpMlstAsync,
    ftpMdtmAsync,
    ftpMdtmyyAsync,
    ftpAuthAsync,
    ftpMfmtAsync,
    ftpMd5Async,
    ftpAccountAsync,
    ftpProtAsync,
    ftpPbszAsync,
    ftpModeZAsync,
    ftpOptsAsync,
    ftpCccAsync,
};

enum TFtpShareMode {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone,
};

enum TFtpOption : unsigned {
    ftpAcceptLF = 1u << 0,
    ftpNoAutoResumeAt = 1u << 1,
    ftpWaitUsingSleep = 1u << 2,
    ftpBandwidthControl = 1u << 3,
};
using TFtpOptions = unsigned;

enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// The numbers the tool shows; 6 is not used.
enum TFtpState {
    ftpNotConnected = 0,
    ftpReady = 1,
    ftpInternalReady = 2,
    ftpDnsLookup = 3,
    ftpConnected = 4,
    ftpAbort = 5,
    ftpWaitingBanner = 7,
    ftpWaitingResponse = 8,
    ftpPasvReady = 9,
};

// Named limits of what peers and files may make the client hold.
constexpr std::size_t kFtpReplyAccumulatorLimit = 65536; // all reply lines of one command
constexpr std::uint32_t kFtpFileBuffer = 65536;          // the local file's block buffer
constexpr int kFtpDataBlock = 256 * 1024;                // one read or one upload block
constexpr std::int64_t kFtpReadRound = 8 << 20;          // bytes read per data notification at most

class TCustomFtpCli {
public:
    TCustomFtpCli();
    virtual ~TCustomFtpCli();
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // ---- events (Sender first) ----
    // "> " + command, "< " + final reply line, other reply lines as they
    // are, and "! " + notes of the data side.
    std::function<void(TCustomFtpCli* Sender, std::string& Msg)> OnDisplay;
    // Received data shown line by line instead of stored (DisplayFileFlag).
    std::function<void(TCustomFtpCli* Sender, std::string& Msg)> OnDisplayFile;
    // Before a command is sent; the handler may change it.
    std::function<void(TCustomFtpCli* Sender, std::string& Cmd)> OnCommand;
    // Replaces the FtpException of a refused call.
    std::function<void(TCustomFtpCli* Sender, std::string& Msg)> OnError;
    // After each control line (read LastResponse).
    std::function<void(TCustomFtpCli* Sender)> OnResponse;
    // Before each block received or sent: the bytes of the file so far
    // (resume offset included).  Setting Abort breaks the transfer.
    std::function<void(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort)> OnProgress;
    std::function<void(TCustomFtpCli* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    std::function<void(TCustomFtpCli* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    // Once per operation, posted: it runs from the loop, so a handler may
    // start the next operation at once.
    std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t ErrCode)>
        OnRequestDone;
    std::function<void(TCustomFtpCli* Sender)> OnStateChange;
    // Before an upload starts; setting bCancel ends it with 426.
    std::function<void(TCustomFtpCli* Sender, bool& bCancel)> OnReadyToTransmit;
    // An exception escaped a handler run from the loop; with CanClose left
    // true the client aborts.
    std::function<void(TCustomFtpCli* Sender, const std::exception& E, bool& CanClose)>
        OnBgException;

    // ---- properties ----
    const std::string& HostName() const { return hostName_; }
    void SetHostName(const std::string& v) { hostName_ = v; }
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v) { port_ = v; }
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& v) { localAddr_ = v; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& v) { userName_ = v; }
    const std::string& PassWord() const { return passWord_; }
    void SetPassWord(const std::string& v) { passWord_ = v; }
    const std::string& Account() const { return account_; }
    void SetAccount(const std::string& v) { account_ = v; }
    const std::string& HostDirName() const { return hostDirName_; }
    void SetHostDirName(const std::string& v) { hostDirName_ = v; }
    const std::string& HostFileName() const { return hostFileName_; }
    void SetHostFileName(const std::string& v) { hostFileName_ = v; }
    // The local file of a transfer; also the new name of RNTO and the raw
    // command of QUOTE.
    const std::string& LocalFileName() const { return localFileName_; }
    void SetLocalFileName(const std::string& v) { localFileName_ = v; }
    bool Binary() const { return binary_; }
    void SetBinary(bool v) { binary_ = v; }
    bool DisplayFileFlag() const { return displayFileFlag_; }
    void SetDisplayFileFlag(bool v) { displayFileFlag_ = v; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode v) { shareMode_ = v; }
    TFtpOptions Options() const { return options_; }
    void SetOptions(TFtpOptions v) { options_ = v; }
    TFtpConnectionType ConnectionType() const { return connectionType_; }
    // Refused while connected ("FTP component connected").
    void SetConnectionType(TFtpConnectionType v);
    const std::string& ProxyServer() const { return proxyServer_; }
    void SetProxyServer(const std::string& v) { proxyServer_ = v; }
    const std::string& SocksServer() const { return socksServer_; }
    void SetSocksServer(const std::string& v) { socksServer_ = v; }
    const std::string& SocksPort() const { return socksPort_; }
    void SetSocksPort(const std::string& v) { socksPort_ = v; }
    const std::string& SocksUserCode() const { return socksUserCode_; }
    void SetSocksUserCode(const std::string& v) { socksUserCode_ = v; }
    const std::string& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const std::string& v) { socksPassword_ = v; }
    std::uint32_t DataPortRangeStart() const { return dataPortRangeStart_; }
    void SetDataPortRangeStart(std::uint32_t v);
    std::uint32_t DataPortRangeEnd() const { return dataPortRangeEnd_; }
    void SetDataPortRangeEnd(std::uint32_t v);
    int BandwidthLimit() const { return bandwidthLimit_; }
    void SetBandwidthLimit(int v) { bandwidthLimit_ = v; }
    int BandwidthSampling() const { return bandwidthSampling_; }
    void SetBandwidthSampling(int v) { bandwidthSampling_ = v; }
    // Seconds a blocking twin waits without progress; 0 waits for ever.
    int Timeout() const { return timeout_; }
    void SetTimeout(int v) { timeout_ = v; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool v) { multiThreaded_ = v; }
    const std::string& ErrorMessage() const { return errorMessage_; }

    int StatusCode() const { return statusCode_; }
    const std::string& LastResponse() const { return lastResponse_; }
    // Every line of the replies to the current command, CR LF after each.
    const std::string& ReplyLines() const { return replyLines_; }
    int State() const { return state_; }
    const std::string& LastDirectory() const { return lastDirectory_; }
    std::int64_t LastFileSize() const { return lastFileSize_; }
    // Forced on while a proxy type is selected.
    bool Passive() const { return passive_ || connectionType_ != ftpDirect; }
    void SetPassive(bool v) { passive_ = v; }
    std::int64_t ResumeAt() const { return resumeAt_; }
    void SetResumeAt(std::int64_t v) { resumeAt_ = v; }
    bool Connected() const { return connected_; }
    // Free for the owner (the tool marks a connection in it).
    int Tag = 0;

    // The sockets, for tests and for an owner that tunes them.
    TWSocket& ControlSocket() { return ctrl_; }
    TWSocket& DataSocket() { return data_; }

    // ---- single-step operations ----
    void OpenAsync();
    void UserAsync();
    void PassAsync();
    void AccountAsync();
    void CwdAsync();
    void CDupAsync();
    void PwdAsync();
    void TypeSetAsync();
    void SizeAsync();
    void MkdAsync();
    void RmdAsync();
    void DeleAsync();
    void RenFromAsync();
    void RenToAsync();
    void SystAsync();
    void QuoteAsync();
    void AbortXferAsync();
    void RestAsync();
    void PortAsync();
    void QuitAsync();
    // Aborts both connections at once; the running request ends with 426.
    void AbortAsync();

    // ---- complete operations ----
    void ConnectAsync();
    void GetAsync();
    void RestGetAsync();
    void PutAsync();
    void RestPutAsync();
    void AppendAsync();
    void DirAsync();
    void LsAsync();
    void MlsdAsync();
    void RenAsync();
    void ReceiveAsync();
    void RestartGetAsync();
    void TransmitAsync();
    void RestartPutAsync();
    void AppendFileAsync();
    void DirectoryAsync();
    void ListAsync();
    void SystemAsync();
    void FileSizeAsync();
    void RenameAsync();
    void DeleteAsync();
    void MkdirAsync();
    void RmdirAsync();
    void DoQuoteAsync();

    // ---- blocking twins: true when the operation ended with 0 ----
#define QORDEX_FTP_SYNC(name)                                                                      \
    bool name##Sync() {                                                                            \
        return Synchronize(&TCustomFtpCli::name##Async);                                           \
    }
    QORDEX_FTP_SYNC(Open)
    QORDEX_FTP_SYNC(User)
    QORDEX_FTP_SYNC(Pass)
    QORDEX_FTP_SYNC(Account)
    QORDEX_FTP_SYNC(Cwd)
    QORDEX_FTP_SYNC(CDup)
    QORDEX_FTP_SYNC(Pwd)
    QORDEX_FTP_SYNC(TypeSet)
    QORDEX_FTP_SYNC(Size)
    QORDEX_FTP_SYNC(Mkd)
    QORDEX_FTP_SYNC(Rmd)
    QORDEX_FTP_SYNC(Dele)
    QORDEX_FTP_SYNC(RenFrom)
    QORDEX_FTP_SYNC(RenTo)
    QORDEX_FTP_SYNC(Syst)
    QORDEX_FTP_SYNC(Quote)
    QORDEX_FTP_SYNC(AbortXfer)
    QORDEX_FTP_SYNC(Rest)
    QORDEX_FTP_SYNC(Port)
    QORDEX_FTP_SYNC(Quit)
    QORDEX_FTP_SYNC(Abort)
    QORDEX_FTP_SYNC(Connect)
    QORDEX_FTP_SYNC(Get)
    QORDEX_FTP_SYNC(RestGet)
    QORDEX_FTP_SYNC(Put)
    QORDEX_FTP_SYNC(RestPut)
    QORDEX_FTP_SYNC(Append)
    QORDEX_FTP_SYNC(Dir)
    QORDEX_FTP_SYNC(Ls)
    QORDEX_FTP_SYNC(Mlsd)
    QORDEX_FTP_SYNC(Ren)
    QORDEX_FTP_SYNC(Receive)
    QORDEX_FTP_SYNC(RestartGet)
    QORDEX_FTP_SYNC(Transmit)
    QORDEX_FTP_SYNC(RestartPut)
    QORDEX_FTP_SYNC(AppendFile)
    QORDEX_FTP_SYNC(Directory)
    QORDEX_FTP_SYNC(List)
    QORDEX_FTP_SYNC(System)
    QORDEX_FTP_SYNC(FileSize)
    QORDEX_FTP_SYNC(Rename)
    QORDEX_FTP_SYNC(Delete)
    QORDEX_FTP_SYNC(Mkdir)
    QORDEX_FTP_SYNC(Rmdir)
    QORDEX_FTP_SYNC(DoQuote)
#undef QORDEX_FTP_SYNC

    // Runs an operation and pumps the loop until it ends (Timeout without
    // progress aborts it with "426 Timeout").
    bool Synchronize(void (TCustomFtpCli::*op)());

protected:
    // Step numbers of the complete operations' plans.
    enum Step {
        stOpen = 1,
        stUser = 2,
        stPass = 3,
        stCwd = 4,
        stSize = 5,
        stMkd = 6,
        stRmd = 7,
        stRnfr = 8,
        stRnto = 9,
        stGet = 10,
        stDir = 11,
        stQuit = 12,
        stSyst = 13,
        stDele = 14,
        stPwd = 15,
        stQuote = 16,
        stPut = 17,
        stTypeSet = 18,
        stRest = 19,
        stCDup = 20,
        stLs = 21,
        stAppend = 22,
        stPort = 23,
        stAbor = 24,
        stMlsd = 25,
        stAcct = 33,
    };
    using Plan = std::uint64_t; // one bit per step number

private:
    using Continuation = void (TCustomFtpCli::*)();

    // ---- control side (FtpCli.cpp) ----
    void SetState(TFtpState s);
    bool AllowsStart() const;
    void Display(const std::string& msg);
    // Refused call: OnError or FtpException.  From the loop (a step of a
    // complete operation) the request is ended with 500 instead.
    void RefuseCall(const std::string& msg);
    // The start state and the connection allow a command; else refused.
    bool MayStartCommand();
    bool CheckField(const char* name, const std::string& value);
    bool CheckPlanFields(Plan plan);
    // Checks that a command may start, then sends it.
    void RunCommand(const std::string& cmd, std::vector<int> accepted, TFtpRequest rq, int step,
                    Continuation after = nullptr);
    // Sends a command whose start was checked already; `judge` takes its
    // final reply.
    void SendCommand(const std::string& cmd, std::vector<int> accepted, TFtpRequest rq, int step,
                     Continuation after, Continuation judge);
    void DoOpen();
    void StartPlan(Plan plan, TFtpRequest rq);
    void RunNextStep();
    void RunStep(int step);
    // Ends one command: a complete operation goes on with its next step
    // when the command succeeded, anything else ends the request.
    void FinishRequest(int error);
    // Ends the request: OnRequestDone is posted with `error`.
    void EndRequest(int error);
    void ControlDnsLookupDone(std::uint16_t error);
    void ControlSessionConnected(std::uint16_t error);
    void ControlSessionClosed(std::uint16_t error);
    void ControlDataAvailable();
    void HandleLine(std::string_view line);
    void FinalReply(const std::string& line);
    void JudgeReply();
    void QuitDone();
    void BgException(const std::exception& e);
    bool Socks() const;
    void ApplySocks(TWSocket& socket);
    // Connects the control socket to `addr` (a resolved address, or the
    // server's name for a proxy that resolves it).
    void ConnectControl(const std::string& addr);
    // "500 <reason> (Winsock error #E)" for a failed lookup or connect.
    void ConnectFailed(int error);
    std::string ClosedLine(int error) const;
    std::string UserCommand() const;

    // ---- data side (FtpCliData.cpp) ----
    void DoPort();
    void DoRest();
    // Clears the flags and counters of a transfer about to start.
    void ResetTransfer(bool receiving);
    void DoReceive(const char* word);
    void DoSend(const char* word);
    void ListenForData();
    // Connects the data socket to the passive address; false after
    // finishing the request with `code` ("550 ..." / "426 ...").
    bool ConnectPassive(int code);
    void ResetDataSocket();
    void ReceiveFirstReply();
    void ReceiveFinalReply();
    void SendFirstReply();
    void SendFinalReply();
    void DataSessionAvailable(std::uint16_t error);
    void DataSessionConnected(std::uint16_t error);
    void DataAvailable(std::uint16_t error);
    void DataSent(std::uint16_t error);
    void DataSessionClosed(std::uint16_t error);
    void ChannelOpened();
    void SendNextBlock();
    void CheckTransferDone();
    // Ends a transfer that failed here: the data connection is reset so the
    // server cannot take what it got for a whole file.
    void BreakUpload(const std::string& note);
    void FailTransfer(int code, const std::string& line, bool closeData);
    // The server refused the transfer (first or final reply): it stops, and
    // a local failure's code and text go first.  `note` is shown first.
    void TransferRefused(int code, const char* note);
    bool Progress();
    void DeliverDisplayFile(const char* data, std::size_t len);
    void CloseLocalFile();
    void OpenLocalFileForReceive();
    void OpenLocalFileForSend();
    void StartBandwidth();
    void StopBandwidth();
    void BandwidthTick();
    void CountBandwidth(std::int64_t n);
    void PostToSelf(unsigned msg, WPARAM w = 0, LPARAM l = 0);
    void WndProc(unsigned msg, WPARAM w, LPARAM l);
    std::int64_t NowMs() const;

    // ---- settings ----
    std::string hostName_, port_ = "ftp", localAddr_ = "0.0.0.0";
    std::string userName_, passWord_, account_;
    std::string hostDirName_, hostFileName_, localFileName_;
    bool binary_ = true;
    bool displayFileFlag_ = false;
    int shareMode_ = ftpShareExclusive;
    TFtpOptions options_ = ftpAcceptLF;
    TFtpConnectionType connectionType_ = ftpDirect;
    std::string proxyServer_, socksServer_, socksPort_, socksUserCode_, socksPassword_;
    std::uint32_t dataPortRangeStart_ = 0, dataPortRangeEnd_ = 0;
    int bandwidthLimit_ = 10000, bandwidthSampling_ = 1000;
    int timeout_ = 15;
    bool multiThreaded_ = false;
    bool passive_ = false;
    std::int64_t resumeAt_ = 0;

    // ---- control state ----
    std::shared_ptr<char> alive_; // expires with the client, for checks after events
    TWSocket ctrl_;
    TWSocket data_;
    std::unique_ptr<HiddenWindow> window_;
    TReplyLineReader reader_;
    TReplyTracker tracker_;
    TFtpState state_ = ftpReady;
    bool connected_ = false;
    std::string controlPeer_; // the address the control connection reached
    std::string socksError_;  // what the SOCKS proxy said when it refused
    std::string errorMessage_, lastResponse_, replyLines_, lastDirectory_;
    int statusCode_ = 0;
    std::int64_t lastFileSize_ = 0;
    TFtpRequest requestType_ = ftpNone;
    int requestResult_ = 0;
    bool requestDone_ = true;
    std::vector<int> accepted_;        // empty: any code below 500 succeeds
    Continuation next_ = nullptr;      // judges the next final reply
    Continuation doneAsync_ = nullptr; // runs after a successful judgement
    int currentStep_ = 0;              // the command whose reply is awaited
    Plan plan_ = 0;
    int lastStep_ = 0;     // the step that ran last in the plan
    int lastStepCode_ = 0; // its reply code
    int prevStep_ = 0;     // the step before the running one, and its reply code
    int prevStepCode_ = 0;
    int highLevelResult_ = 0;
    bool highLevel_ = false;
    TFtpRequest highLevelRequest_ = ftpNone;
    bool quitSaved_ = false;
    std::string savedResponse_;
    int savedStatus_ = 0;
    int callDepth_ = 0;    // inside a public operation call (refusals throw there)
    bool refused_ = false; // the last operation call was refused
    std::chrono::steady_clock::time_point deadline_{};

    // ---- data state ----
    std::string pasvReply_;
    std::unique_ptr<TBufferedFileStream> stream_;
    std::vector<char> dataBuffer_;
    std::string command_; // RETR, LIST, NLST, MLSD, STOR or APPE
    bool receiving_ = false;
    bool xferActive_ = false; // the data socket's events belong to a transfer
    bool controlDone_ = false, dataDone_ = false;
    bool commandAccepted_ = false, channelOpen_ = false;
    bool sendStarted_ = false, eofSent_ = false;
    int transferError_ = 0;
    int localError_ = 0; // 550 (local file) or 426 (upload broken here)
    std::string localErrorText_;
    bool aborted_ = false; // OnProgress asked to stop
    std::int64_t byteCount_ = 0;
    std::int64_t startTime_ = 0;
    std::uint32_t nextDataPort_ = 0;
    std::unique_ptr<QTimer> bandwidthTimer_;
    std::int64_t bandwidthAllowance_ = 0, bandwidthCount_ = 0;
    bool bandwidthPaused_ = false;
    bool displayInLine_ = false; // OnDisplayFile: between CR/LF runs
};

class TFtpClient : public TCustomFtpCli {};

} // namespace qordex::ftp
