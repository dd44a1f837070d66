// The data side of the FTP client: PORT and PASV, downloads into the local
// file (or OnDisplayFile), uploads from it, REST, progress, the bandwidth
// limit and the statistics note.

#include "ftp/FtpCli.h"

#include "ftp/FtpText.h"
#include "platform/SocketErrors.h"

#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::ftp {
namespace {

enum : unsigned { WM_FTP_START_SEND = WM_USER + 2 };

std::uint16_t ShareFlag(TFtpShareMode mode) {
    switch (mode) {
    case ftpShareCompat:
        return fmShareCompat;
    case ftpShareDenyWrite:
        return fmShareDenyWrite;
    case ftpShareDenyRead:
        return fmShareDenyRead;
    case ftpShareDenyNone:
        return fmShareDenyNone;
    default:
        return fmShareExclusive;
    }
}

// Raised inside the client when a resumed file cannot be positioned.
struct ResumePositionError {};

} // namespace

const char* ExceptionClassName(const std::exception& e) {
    if (dynamic_cast<const ESocketException*>(&e))
        return "ESocketException";
    if (dynamic_cast<const FtpException*>(&e))
        return "FtpException";
    if (dynamic_cast<const EFCreateError*>(&e))
        return "EFCreateError";
    if (dynamic_cast<const EFOpenError*>(&e))
        return "EFOpenError";
    if (dynamic_cast<const EReadError*>(&e))
        return "EReadError";
    if (dynamic_cast<const EWriteError*>(&e))
        return "EWriteError";
    if (dynamic_cast<const EStreamError*>(&e))
        return "EStreamError";
    return "Exception";
}

// ---- the port step -------------------------------------------------------------

void TCustomFtpCli::ResetDataSocket() {
    xferActive_ = false;
    StopBandwidth();
    if (data_.State() != wsClosed)
        data_.Abort();
    data_.SetProto("tcp");
    data_.SetAddr("0.0.0.0");
    data_.SetPort("0");
    data_.SetComponentOptions(0);
}

void TCustomFtpCli::DoPort() {
    if (!MayStartCommand())
        return;
    const std::weak_ptr<char> life = alive_;
    ResetDataSocket();
    if (life.expired())
        return;
    std::string cmd = "PASV";
    if (!Passive()) {
        TSockAddrIn local{};
        int len = sizeof local;
        if (ctrl_.GetLocalSockAddr(local, len) != 0) {
            RefuseCall("FTP component not connected");
            return;
        }
        // The data connection is awaited on the address the server already
        // reaches us on, and announced as such.
        data_.SetAddr(WSocket_inet_ntoa(local.sin_addr.s_addr));
        data_.SetLingerOnOff(wsLingerOn);
        data_.SetLingerTimeout(10);
        std::uint16_t port = 0;
        if (dataPortRangeStart_ != 0 || dataPortRangeEnd_ != 0) {
            if (dataPortRangeEnd_ < dataPortRangeStart_) {
                RefuseCall("DataPortRangeEnd must be greater than DataPortRangeStart");
                return;
            }
            const std::uint32_t first =
                nextDataPort_ >= dataPortRangeStart_ && nextDataPort_ <= dataPortRangeEnd_
                    ? nextDataPort_
                    : dataPortRangeStart_;
            std::uint32_t p = first;
            for (;;) {
                data_.SetPort(std::to_string(p));
                try {
                    data_.Listen();
                    break;
                } catch (const ESocketException& e) {
                    if (e.ErrorCode() != WSAEADDRINUSE) {
                        RefuseCall("Data connection winsock.bind failed, error #" +
                                   std::to_string(e.ErrorCode()));
                        return;
                    }
                }
                p = p >= dataPortRangeEnd_ ? dataPortRangeStart_ : p + 1;
                if (p == first) {
                    RefuseCall("All ports in DataPortRange are in use");
                    return;
                }
            }
            port = std::uint16_t(p);
            nextDataPort_ = p + 1 > dataPortRangeEnd_ ? dataPortRangeStart_ : p + 1;
        } else {
            try {
                data_.Listen();
            } catch (const ESocketException& e) {
                RefuseCall("Data connection winsock.bind failed, error #" +
                           std::to_string(e.ErrorCode()));
                return;
            }
            port = std::uint16_t(std::stoi(data_.GetBoundPort()));
        }
        cmd = FormatPortCommand(local.sin_addr.s_addr, port);
    }
    byteCount_ = 0;
    RunCommand(cmd, {200, 227}, ftpPortAsync, stPort);
}

void TCustomFtpCli::DoRest() {
    if (requestType_ != ftpRestPutAsync && requestType_ != ftpRestartPutAsync &&
        !(options_ & ftpNoAutoResumeAt)) {
        struct stat st {};
        resumeAt_ = ::stat(localFileName_.c_str(), &st) == 0 ? std::int64_t(st.st_size) : 0;
    }
    if (resumeAt_ > 0) {
        RunCommand("REST " + std::to_string(resumeAt_), {}, ftpRestAsync, stRest);
        return;
    }
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return;
    }
    // Nothing to skip: the step succeeds without a command.
    if (!highLevel_)
        requestType_ = ftpRestAsync;
    requestDone_ = false;
    requestResult_ = 0;
    currentStep_ = stRest;
    FinishRequest(0);
}

bool TCustomFtpCli::ConnectPassive(int code) {
    const std::optional<PasvAddress> a = ParsePasvReply(pasvReply_);
    if (!a) {
        FailTransfer(code, std::to_string(code) + " Invalid reply to PASV: " + pasvReply_, true);
        return false;
    }
    const std::string named = std::to_string(a->host[0]) + "." + std::to_string(a->host[1]) + "." +
                              std::to_string(a->host[2]) + "." + std::to_string(a->host[3]);
    // The data connection goes where the control connection went: a 227
    // naming another host would let the server aim us anywhere.
    if (named != controlPeer_ && named != "0.0.0.0")
        Display("! Passive address " + named + " ignored, using " + controlPeer_);
    try {
        data_.SetAddr(controlPeer_);
        data_.SetPort(std::to_string(a->port));
        data_.SetLocalAddr(localAddr_);
        data_.SetLingerOnOff(wsLingerOff);
        data_.SetComponentOptions(wsoNoReceiveLoop);
        ApplySocks(data_);
        data_.Connect();
    } catch (const std::exception& e) {
        FailTransfer(code, std::to_string(code) + " " + ExceptionClassName(e) + ": " + e.what(),
                     true);
        return false;
    }
    return true;
}

void TCustomFtpCli::FailTransfer(int code, const std::string& line, bool closeData) {
    lastResponse_ = line;
    statusCode_ = code;
    if (errorMessage_.empty())
        errorMessage_ = line;
    xferActive_ = false;
    CloseLocalFile();
    if (closeData && data_.State() != wsClosed)
        data_.Close();
    requestDone_ = false;
    FinishRequest(code);
}

// ---- local files -------------------------------------------------------------------

void TCustomFtpCli::CloseLocalFile() {
    if (!stream_)
        return;
    try {
        stream_->Close();
    } catch (...) {
        // Only the end of a download reports a failed close (CheckTransferDone).
    }
    stream_.reset();
}

void TCustomFtpCli::OpenLocalFileForReceive() {
    CloseLocalFile();
    const std::uint16_t share = ShareFlag(ShareMode());
    if (resumeAt_ > 0) {
        // Read and write: a partial block is completed from the file, never
        // written back with bytes that were neither there nor received.
        stream_ = std::make_unique<TBufferedFileStream>(localFileName_, fmOpenReadWrite | share,
                                                        kFtpFileBuffer);
        if (resumeAt_ > stream_->Size() || stream_->Seek(resumeAt_, soBeginning) != resumeAt_)
            throw ResumePositionError{};
        return;
    }
    stream_ = std::make_unique<TBufferedFileStream>(localFileName_, fmCreate, kFtpFileBuffer);
    if (share != fmShareCompat) {
        stream_->Close();
        stream_.reset();
        stream_ = std::make_unique<TBufferedFileStream>(localFileName_, fmOpenReadWrite | share,
                                                        kFtpFileBuffer);
    }
}

void TCustomFtpCli::OpenLocalFileForSend() {
    CloseLocalFile();
    stream_ = std::make_unique<TBufferedFileStream>(
        localFileName_, fmOpenRead | ShareFlag(ShareMode()), kFtpFileBuffer);
    if (resumeAt_ > 0 &&
        (resumeAt_ > stream_->Size() || stream_->Seek(resumeAt_, soBeginning) != resumeAt_))
        throw ResumePositionError{};
}

// ---- receiving ------------------------------------------------------------------------

void TCustomFtpCli::ResetTransfer(bool receiving) {
    requestDone_ = false;
    requestResult_ = 0;
    receiving_ = receiving;
    controlDone_ = dataDone_ = false;
    commandAccepted_ = channelOpen_ = sendStarted_ = eofSent_ = false;
    transferError_ = 0;
    localError_ = 0;
    localErrorText_.clear();
    aborted_ = false;
    byteCount_ = 0;
    startTime_ = NowMs();
}

void TCustomFtpCli::DoReceive(const char* word) {
    if (!connected_) {
        RefuseCall(std::string(word) + ": not connected");
        return;
    }
    if (localFileName_.empty() && !displayFileFlag_) {
        RefuseCall("LocalFileName empty");
        return;
    }
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return;
    }
    if (!CheckField("HostFileName", hostFileName_))
        return;
    command_ = word;
    if (command_ == "RETR" &&
        !(prevStep_ == stRest && prevStepCode_ == 350 && resumeAt_ >= 0 && highLevel_))
        resumeAt_ = 0;
    if (!highLevel_)
        requestType_ = command_ == "RETR"   ? ftpGetAsync
                       : command_ == "LIST" ? ftpDirAsync
                       : command_ == "NLST" ? ftpLsAsync
                                            : ftpMlsdAsync;
    ResetTransfer(true);
    xferActive_ = true;
    if (!Passive() && data_.State() == wsConnected)
        ChannelOpened(); // accepted already, right after PORT
    if (!displayFileFlag_) {
        try {
            OpenLocalFileForReceive();
        } catch (const ResumePositionError&) {
            FailTransfer(550, "Unable to set resume position in local file", true);
            return;
        } catch (const std::exception& e) {
            FailTransfer(550, "Unable to open local file " + localFileName_ + ": " + e.what(),
                         true);
            return;
        }
    }
    if (Passive() && !ConnectPassive(550))
        return;
    const int step = command_ == "RETR"   ? stGet
                     : command_ == "LIST" ? stDir
                     : command_ == "NLST" ? stLs
                                          : stMlsd;
    std::string cmd = command_;
    if (!hostFileName_.empty())
        cmd += " " + hostFileName_;
    SendCommand(cmd, {}, requestType_, step, nullptr, &TCustomFtpCli::ReceiveFirstReply);
}

void TCustomFtpCli::ReceiveFirstReply() {
    const int code = statusCode_;
    if (code == 125 || (code >= 150 && code <= 159)) {
        next_ = &TCustomFtpCli::ReceiveFinalReply;
        return;
    }
    if (code == 226 || code == 250) {
        // The preliminary reply was left out; this one is final.
        ReceiveFinalReply();
        return;
    }
    TransferRefused(code, nullptr);
}

void TCustomFtpCli::TransferRefused(int code, const char* note) {
    errorMessage_ = lastResponse_;
    xferActive_ = false;
    CloseLocalFile();
    if (data_.State() != wsClosed)
        data_.Close();
    if (note) {
        const std::weak_ptr<char> life = alive_;
        Display(note);
        if (life.expired())
            return;
    } else {
        resumeAt_ = 0; // refused at once: nothing was transferred
    }
    if (localError_ != 0) {
        code = localError_;
        errorMessage_ = localErrorText_;
    }
    FinishRequest(code);
}

void TCustomFtpCli::ReceiveFinalReply() {
    const int code = statusCode_;
    if (code == 125 || code == 226 || code == 250) {
        controlDone_ = true;
        CheckTransferDone();
        return;
    }
    TransferRefused(code, "! RETR/LIST/NLST Failed");
}

void TCustomFtpCli::ChannelOpened() {
    data_.SetComponentOptions(wsoNoReceiveLoop);
    StartBandwidth();
    startTime_ = NowMs();
}

void TCustomFtpCli::DataSessionAvailable(std::uint16_t error) {
    if (error != 0 || data_.State() != wsListening)
        return;
    TSocket h = INVALID_SOCKET;
    try {
        h = data_.Accept();
    } catch (const std::exception&) {
        return;
    }
    if (h == INVALID_SOCKET)
        return;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const std::string from = ::getpeername(h, reinterpret_cast<sockaddr*>(&peer), &len) == 0
                                 ? WSocket_inet_ntoa(peer.sin_addr.s_addr)
                                 : std::string("?");
    // Only the server we talk to may deliver the data (RFC 2577, 5).
    if (from != controlPeer_) {
        ::close(h);
        Display("! Data connection from " + from + " refused");
        return;
    }
    const std::weak_ptr<char> life = alive_;
    data_.SetLingerOnOff(wsLingerOff);
    data_.SetLingerTimeout(10);
    data_.Dup(h);
    // Some servers connect as soon as PORT is answered, before the transfer
    // command: the transfer takes the connection over when it starts.
    if (life.expired() || !xferActive_)
        return;
    ChannelOpened();
    if (!receiving_) {
        channelOpen_ = true;
        if (commandAccepted_ && !sendStarted_) {
            sendStarted_ = true;
            PostToSelf(WM_FTP_START_SEND);
        }
    }
}

void TCustomFtpCli::DataSessionConnected(std::uint16_t error) {
    if (!xferActive_)
        return;
    if (error != 0) {
        FailTransfer(550, "Unable to establish data connection, error #" + std::to_string(error),
                     true);
        return;
    }
    ChannelOpened();
    if (receiving_)
        return;
    channelOpen_ = true;
    std::string cmd = command_ + " " + hostFileName_;
    SendCommand(cmd, {}, requestType_, command_ == "STOR" ? stPut : stAppend, nullptr,
                &TCustomFtpCli::SendFirstReply);
}

bool TCustomFtpCli::Progress() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_);
    bool abort = false;
    if (auto h = OnProgress) {
        const std::weak_ptr<char> life = alive_;
        h(this, byteCount_ + resumeAt_, abort);
        if (life.expired() || !xferActive_)
            return false;
    }
    if (!abort)
        return true;
    Display("! Abort requested");
    aborted_ = true;
    if (receiving_) {
        data_.Close();
    } else if (localError_ == 0) {
        localError_ = 426;
        localErrorText_ = "426 Transfer aborted by the application";
        CloseLocalFile();
        data_.Abort();
    }
    return false;
}

void TCustomFtpCli::DeliverDisplayFile(const char* data, std::size_t len) {
    const std::weak_ptr<char> life = alive_;
    std::size_t i = 0;
    while (i < len) {
        while (i < len && (data[i] == '\r' || data[i] == '\n'))
            ++i;
        if (i >= len)
            break;
        std::size_t j = i;
        while (j < len && data[j] != '\r' && data[j] != '\n')
            ++j;
        std::string line(data + i, j - i);
        if (auto h = OnDisplayFile) {
            h(this, line);
            if (life.expired() || !xferActive_)
                return;
        }
        i = j;
    }
}

void TCustomFtpCli::DataAvailable(std::uint16_t /*error*/) {
    if (!xferActive_ || !receiving_) {
        // Bytes nobody waits for are taken away, so the peer is not stalled.
        data_.Receive(dataBuffer_.data(), kFtpDataBlock);
        return;
    }
    const std::weak_ptr<char> life = alive_;
    std::int64_t round = 0;
    // Read until the socket would block, a block at a time with progress
    // before each, and leave the loop to others after a large round.
    while (round < kFtpReadRound) {
        if (!Progress())
            return;
        const int n = data_.Receive(dataBuffer_.data(), kFtpDataBlock);
        if (n > 0) {
            byteCount_ += n;
            round += n;
            if (displayFileFlag_) {
                DeliverDisplayFile(dataBuffer_.data(), std::size_t(n));
                if (life.expired() || !xferActive_)
                    return;
            } else if (stream_ && localError_ == 0) {
                try {
                    stream_->Write(dataBuffer_.data(), n);
                } catch (const std::exception& e) {
                    localError_ = 550;
                    localErrorText_ = std::string("550 Error writing local file: ") + e.what();
                    Display("! Error writing local file");
                    if (life.expired())
                        return;
                    // Reset: the server stops sending and learns the copy failed.
                    data_.Abort();
                    return;
                }
            }
            CountBandwidth(n);
            if (bandwidthPaused_ || n < kFtpDataBlock)
                return;
            continue;
        }
        if (n < 0) {
            const int err = data_.LastError();
            if (err != WSAEWOULDBLOCK && data_.State() == wsConnected) {
                Display("! Data: Receive error " + std::to_string(err));
                if (life.expired())
                    return;
                data_.Abort();
            }
        }
        return;
    }
}

void TCustomFtpCli::DataSessionClosed(std::uint16_t error) {
    if (!xferActive_)
        return;
    StopBandwidth();
    if (receiving_ && stream_) {
        // The last block reaches the disk here: a full disk shows now.
        try {
            stream_->Close();
        } catch (const std::exception& e) {
            if (localError_ == 0) {
                localError_ = 550;
                localErrorText_ = std::string("550 Error writing local file: ") + e.what();
            }
        }
        stream_.reset();
    } else {
        CloseLocalFile();
    }
    dataDone_ = true;
    transferError_ = error;
    CheckTransferDone();
}

void TCustomFtpCli::CheckTransferDone() {
    if (!controlDone_ || !dataDone_)
        return;
    xferActive_ = false;
    const std::weak_ptr<char> life = alive_;
    Display("! " + TransferStatistics(byteCount_, NowMs() - startTime_, receiving_));
    if (life.expired())
        return;
    resumeAt_ = 0;
    int code = transferError_;
    if (localError_ != 0) {
        code = localError_;
        errorMessage_ = localErrorText_;
    } else if (aborted_) {
        // The server may have sent everything before the channel was cut;
        // the application still asked for the transfer to stop.
        code = 426;
        errorMessage_ = "426 Transfer aborted by the application";
    }
    FinishRequest(code);
}

// ---- sending ------------------------------------------------------------------------

void TCustomFtpCli::DoSend(const char* word) {
    if (!connected_) {
        RefuseCall(std::string(word) + ": not connected");
        return;
    }
    if (localFileName_.empty()) {
        RefuseCall("LocalFileName empty");
        return;
    }
    if (!AllowsStart()) {
        RefuseCall("FTP component not ready");
        return;
    }
    if (!CheckField("HostFileName", hostFileName_))
        return;
    command_ = word;
    if (!highLevel_)
        requestType_ = command_ == "STOR" ? ftpPutAsync : ftpAppendAsync;
    ResetTransfer(false);
    const std::weak_ptr<char> life = alive_;
    bool cancel = false;
    if (auto h = OnReadyToTransmit) {
        h(this, cancel);
        if (life.expired())
            return;
    }
    if (cancel) {
        errorMessage_ = "426 Transmit cancelled by application";
        statusCode_ = 426;
        Display("! " + errorMessage_);
        if (life.expired())
            return;
        FailTransfer(426, errorMessage_, true);
        return;
    }
    xferActive_ = true;
    if (!Passive() && data_.State() == wsConnected) {
        ChannelOpened(); // accepted already, right after PORT
        channelOpen_ = true;
    }
    try {
        OpenLocalFileForSend();
    } catch (const ResumePositionError&) {
        FailTransfer(550, "Unable to set resume position in local file", true);
        return;
    } catch (const std::exception& e) {
        FailTransfer(426, "Unable to open local file " + localFileName_ + ": " + e.what(), true);
        return;
    }
    Display("! Upload Size " + std::to_string(stream_->Size() - stream_->Position()));
    if (life.expired())
        return;
    if (Passive()) {
        // The command follows once the data connection stands.
        if (ConnectPassive(426))
            SetState(ftpWaitingResponse);
        return;
    }
    SendCommand(command_ + " " + hostFileName_, {}, requestType_,
                command_ == "STOR" ? stPut : stAppend, nullptr, &TCustomFtpCli::SendFirstReply);
}

void TCustomFtpCli::SendFirstReply() {
    const int code = statusCode_;
    if (code == 150 || code == 125) {
        commandAccepted_ = true;
        next_ = &TCustomFtpCli::SendFinalReply;
        if (channelOpen_ && !sendStarted_) {
            sendStarted_ = true;
            PostToSelf(WM_FTP_START_SEND);
        }
        return;
    }
    TransferRefused(code, nullptr);
}

void TCustomFtpCli::SendFinalReply() {
    const int code = statusCode_;
    if (code == 226 || code == 250) {
        controlDone_ = true;
        CheckTransferDone();
        return;
    }
    TransferRefused(code, "! STOR Failed");
}

void TCustomFtpCli::DataSent(std::uint16_t error) {
    if (!xferActive_ || receiving_)
        return;
    if (error != 0) {
        BreakUpload("! Error #" + std::to_string(error) + " sending data");
        return;
    }
    SendNextBlock();
}

void TCustomFtpCli::BreakUpload(const std::string& note) {
    const std::weak_ptr<char> life = alive_;
    Display(note);
    if (life.expired())
        return;
    if (localError_ == 0) {
        localError_ = 426;
        localErrorText_ = "426 " + note.substr(note.rfind("! ", 0) == 0 ? 2 : 0);
    }
    CloseLocalFile();
    // A reset, not an end of stream: the server must not keep a cut file
    // as if it were complete.
    data_.Abort();
}

void TCustomFtpCli::SendNextBlock() {
    if (!xferActive_ || receiving_ || !commandAccepted_ || !channelOpen_ || eofSent_ ||
        localError_ != 0)
        return;
    sendStarted_ = true;
    // One block at a time beyond what the system holds: the next one is
    // read when the last has left the send buffer.
    if (!data_.AllSent() || bandwidthPaused_)
        return;
    if (!Progress())
        return;
    std::int64_t n = 0;
    try {
        n = stream_ ? stream_->Read(dataBuffer_.data(), kFtpDataBlock) : 0;
    } catch (const std::exception& e) {
        BreakUpload(std::string("! Error reading file ") + ExceptionClassName(e) + ": " + e.what());
        return;
    }
    if (n > 0) {
        byteCount_ += n;
        const std::weak_ptr<char> life = alive_;
        data_.Send(dataBuffer_.data(), int(n));
        if (life.expired() || !xferActive_)
            return;
        CountBandwidth(n);
        return;
    }
    // Everything was handed to the system: end the stream; the server
    // closes the channel once it has all of it.
    CloseLocalFile();
    eofSent_ = true;
    data_.Shutdown(SHUT_WR);
}

// ---- bandwidth --------------------------------------------------------------------------

void TCustomFtpCli::StartBandwidth() {
    bandwidthCount_ = 0;
    bandwidthPaused_ = false;
    if (!(options_ & ftpBandwidthControl))
        return;
    const int period = std::max(1, bandwidthSampling_);
    bandwidthAllowance_ = std::max<std::int64_t>(1, std::int64_t(bandwidthLimit_) * period / 1000);
    bandwidthTimer_->start(period);
}

void TCustomFtpCli::StopBandwidth() {
    bandwidthTimer_->stop();
    bandwidthPaused_ = false;
}

void TCustomFtpCli::CountBandwidth(std::int64_t n) {
    if (!(options_ & ftpBandwidthControl) || !bandwidthTimer_->isActive())
        return;
    bandwidthCount_ += n;
    if (bandwidthCount_ > bandwidthAllowance_ && !bandwidthPaused_) {
        bandwidthPaused_ = true;
        data_.Pause();
    }
}

void TCustomFtpCli::BandwidthTick() {
    bandwidthCount_ = std::max<std::int64_t>(0, bandwidthCount_ - bandwidthAllowance_);
    // Blocks are larger than a period's allowance at low limits: the pause
    // lasts until the excess is used up, so the average stays at the limit.
    if (!bandwidthPaused_ || bandwidthCount_ > bandwidthAllowance_)
        return;
    bandwidthPaused_ = false;
    data_.Resume();
    if (!receiving_ && xferActive_)
        PostToSelf(WM_FTP_START_SEND);
}

bool TCustomFtpCli::Socks() const {
    return connectionType_ == ftpSocks4 || connectionType_ == ftpSocks4A ||
           connectionType_ == ftpSocks5;
}

void TCustomFtpCli::ApplySocks(TWSocket& socket) {
    // Every close empties the socket's SOCKS settings: they are handed
    // over before each connect.
    if (!Socks()) {
        socket.SetSocksAuthentication(socksNoAuthentication);
        return;
    }
    socket.SetSocksServer(socksServer_);
    socket.SetSocksPort(socksPort_);
    socket.SetSocksLevel(connectionType_ == ftpSocks4    ? "4"
                         : connectionType_ == ftpSocks4A ? "4A"
                                                         : "5");
    socket.SetSocksUsercode(socksUserCode_);
    socket.SetSocksPassword(socksPassword_);
    // Offering user name and password alone to a proxy that wants no
    // authentication gets refused: they are offered only when there are some.
    socket.SetSocksAuthentication(socksUserCode_.empty() ? socksNoAuthentication
                                                         : socksAuthenticateUsercode);
}

} // namespace qordex::ftp
