#pragma once
// The HTTP server engine: a socket server whose clients are THttpConnection
// objects, each reading requests, mapping their paths under DocDir, asking the
// application through events what to answer, and sending files, listings,
// byte ranges or generated answers.
//
// A connection reads one request at a time: the next request is read only
// once the answer to the current one is out, so pipelined requests are
// answered in order.  Every buffer fed by the client has a limit, and a
// client that is slow to send its head, or idle on a kept connection, is
// dropped after Timeout seconds.
//
// Lifetimes: the server owns its connections (see TWSocketServer); the
// handlers may close a connection, never free it.

#include "base/Stream.h"
#include "net/WSocket.h"
#include "net/WSocketServer.h"
#include "web/HttpSrvText.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace qordex::web {

enum THttpGetFlag {
    hgSendDoc,
    hgSendStream,
    hgWillSendMySelf,
    hg404,
    hg403,
    hg401,
    hgAcceptData,
    hgSendDirList,
};

enum THttpConnectionState { hcRequest, hcHeader, hcPostedData };

enum THttpOption : unsigned {
    hoAllowDirList = 1u << 0,
    hoAllowOutsideRoot = 1u << 1,
};
using THttpOptions = unsigned;

enum TAuthenticationType { atNone, atBasic, atDigest };
enum TAuthDigestMethod { daAuth, daAuthInt, daBoth };

class THttpServer;
class THttpConnection;

// A read-only stream made of pieces of other streams laid end to end: the
// parts of a 206 answer and their multipart headers.  It owns the document
// stream and the part headers.
class THttpRangeStream : public TStream {
public:
    THttpRangeStream(std::unique_ptr<TStream> doc, const std::string& contentType,
                     long long completeSize, const std::vector<TResolvedRange>& ranges);

    long long Read(void* buffer, long long count) override;
    // Throws std::runtime_error("Stream is readonly").
    long long Write(const void* buffer, long long count) override;
    long long Seek(long long offset) override;
    long long Position() const override { return pos_; }
    long long Size() const override { return size_; }
    bool SetSize(long long size) override;

private:
    struct Part {
        TStream* source;   // the document or one of the headers
        long long start;   // offset in the source
        long long offset;  // offset in this stream
        long long size;
    };
    void AddPart(TStream* source, long long start, long long end);
    void AddText(const std::string& text);

    std::unique_ptr<TStream> doc_;
    std::vector<std::unique_ptr<TMemoryStream>> texts_;
    std::vector<Part> parts_;
    long long size_ = 0;
    long long pos_ = 0;
};

class THttpConnection : public TWSocketClient {
public:
    THttpConnection();
    ~THttpConnection() override;

    // ---- events (Sender is the connection; routed to the server's) ----
    std::function<void(TCustomWSocket* Sender, THttpGetFlag& Flags)> OnGetDocument;
    std::function<void(TCustomWSocket* Sender, THttpGetFlag& Flags)> OnHeadDocument;
    std::function<void(TCustomWSocket* Sender, THttpGetFlag& Flags)> OnPostDocument;
    // Body bytes of an accepted POST wait; the handler reads them with Receive
    // and calls PostedDataReceived once it has them all.
    std::function<void(TCustomWSocket* Sender, std::uint16_t Error)> OnPostedData;
    // The answer of a request is out; from the loop.
    std::function<void(TCustomWSocket* Sender)> OnHttpRequestDone;
    std::function<void(TCustomWSocket* Sender)> OnBeforeProcessRequest;
    std::function<void(TCustomWSocket* Sender, THttpDirEntry& DirEntry)> OnFilterDirEntry;

    // ---- properties ----
    const std::string& DocDir() const { return docDir_; }
    void SetDocDir(const std::string& v) { docDir_ = v; }
    const std::string& TemplateDir() const { return templateDir_; }
    void SetTemplateDir(const std::string& v) { templateDir_ = v; }
    const std::string& DefaultDoc() const { return defaultDoc_; }
    void SetDefaultDoc(const std::string& v) { defaultDoc_ = v; }
    const std::string& Document() const { return document_; }
    const std::string& Path() const { return path_; }
    const std::string& Params() const { return params_; }
    THttpOptions Options() const { return options_; }
    void SetOptions(THttpOptions v) { options_ = v; }
    TAuthenticationType AuthType() const { return authType_; }
    void SetAuthType(TAuthenticationType v) { authType_ = v; }
    const std::string& AuthUserName() const { return authUserName_; }
    const std::string& AuthPassword() const { return authPassword_; }
    const std::string& AuthDigetUri() const { return authDigestUri_; }
    const std::string& AuthRealm() const { return authRealm_; }
    void SetAuthRealm(const std::string& v) { authRealm_ = v; }

    const std::string& Method() const { return head_.method; }
    const std::string& Version() const { return head_.version; }
    const std::string& RequestContentType() const { return fields_.contentType; }
    long long RequestContentLength() const { return fields_.contentLength; }
    const std::string& RequestAccept() const { return fields_.accept; }
    const std::string& RequestReferer() const { return fields_.referer; }
    const std::string& RequestAcceptLanguage() const { return fields_.acceptLanguage; }
    const std::string& RequestAcceptEncoding() const { return fields_.acceptEncoding; }
    const std::string& RequestUserAgent() const { return fields_.userAgent; }
    const std::string& RequestAuth() const { return fields_.auth; }
    const std::string& RequestCookie() const { return fields_.cookie; }
    const std::string& RequestHost() const { return fields_.host; }
    const std::string& RequestHostName() const { return fields_.hostName; }
    const std::string& RequestHostPort() const { return fields_.hostPort; }
    const std::string& RequestConnection() const { return fields_.connection; }
    const std::vector<std::string>& RequestHeader() const { return head_.headers; }
    bool KeepAlive() const { return keepAlive_; }
    void SetKeepAlive(bool v) { keepAlive_ = v; }
    bool AcceptPostedData() const { return acceptPostedData_; }
    THttpConnectionState ConnectionState() const { return httpState_; }
    bool AuthOk() const { return authOk_; }
    bool OutsideRootDir() const { return outsideRootDir_; }

    // The stream SendStream sends; owned by the connection.
    TStream* DocStream() const { return docStream_.get(); }
    void SetDocStream(std::unique_ptr<TStream> s) { docStream_ = std::move(s); }

    // ---- operations ----
    // Sends DocStream (status line and header included) from its start.
    void SendStream();
    // Sends Document with its header, with or without the body.
    void SendDocument(bool withBody = true);
    void SendDirList(bool withBody = true);
    void Answer404();
    void Answer403();
    void Answer401();
    void Answer501();
    // The body of an accepted POST has been read: the next request follows.
    void PostedDataReceived();
    // Answers `status` ("413 Payload Too Large") with a short text and closes
    // the connection after it.
    void AnswerAndClose(const std::string& status) { RefuseAndClose(status); }

    // Receive serves what the connection already holds before the socket's.
    int Receive(void* Buffer, int BufferSize) override;

    // The listing of Document's directory (OnFilterDirEntry decides per entry).
    std::string BuildDirList();

protected:
    bool TriggerDataAvailable(int error) override;
    void TriggerDataSent(int error) override;
    void TriggerSessionClosed(int error) override;
    void WndProc(unsigned msg, WPARAM wParam, LPARAM lParam) override;

private:
    friend class THttpServer;

    // Reads what waits and handles whole requests while no answer runs.
    void ProcessInput();
    bool ReadSocket();
    void HandleHead();
    void ProcessRequest();
    void ProcessGet(bool withBody);
    void ProcessPost();
    void CheckAuth();
    void ActOnFlag(THttpGetFlag flag, bool withBody);
    // Refuses the request with `status` and closes after the answer.
    void RefuseAndClose(const std::string& status);
    // Sends `header` and then `body` (`bodySize` bytes of it when known,
    // else its size); afterwards the request is done.
    void StartAnswer(const std::string& header, std::unique_ptr<TStream> body,
                     long long bodySize = -1);
    void SendMore();
    void FinishAnswer();
    void FixedAnswer(const std::string& status, const std::string& extraHeaders,
                     const std::string& contentType, const std::string& body);
    void ArmTimer();
    void TimedOut();
    // Opens the request's document under the root, where the system keeps
    // every step inside it; false when it cannot (no root handle, an older
    // system), and the path is then checked by name.
    bool ResolveBeneath(int rootFd, const std::string& relative);
    void ReleaseDocFd();
    bool DocumentIsDirectory() const;

    THttpServer* httpServer_ = nullptr;
    std::string docDir_, templateDir_, defaultDoc_ = "index.html";
    std::string document_, path_, params_;
    THttpOptions options_ = 0;
    TAuthenticationType authType_ = atNone;
    std::string authUserName_, authPassword_, authDigestUri_, authRealm_ = "qordex";
    bool authOk_ = false;
    bool staleNonce_ = false; // the last digest answer was right but its nonce old
    bool outsideRootDir_ = false;
    bool keepAlive_ = false;
    bool acceptPostedData_ = false;
    THttpConnectionState httpState_ = hcRequest;

    THttpRequestHead head_;
    THttpRequestFields fields_;
    THttpRangeList ranges_;

    std::string inBuf_;          // received, not handled yet (a head or body bytes)
    long long discard_ = 0;      // body bytes of a refused request still to drop
    bool answering_ = false;     // an answer is being sent: no new request
    bool closing_ = false;       // the answer ends the connection
    bool resumePosted_ = false;  // a request-done notice is on its way
    bool drained_ = false;       // the last read found no more than it took

    std::unique_ptr<TStream> docStream_;
    long long docSize_ = 0, docPos_ = 0;
    std::string pendingHeader_; // the header, sent with the first block
    long long lastProgress_ = -1; // what had gone out when the timer last looked
    std::time_t lastModified_ = 0;
    std::string answerContentType_;
    int docFd_ = -1;          // Document, opened while its path was resolved
    struct stat docStat_ {};  // what fstat said of it
    std::string docFdPath_;   // the Document it belongs to
    bool timed_ = false; // the deadline below holds
    std::chrono::steady_clock::time_point deadline_;
};

class THttpServer {
public:
    THttpServer();
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // ---- events ----
    std::function<void(THttpServer* Sender)> OnServerStarted;
    std::function<void(THttpServer* Sender)> OnServerStopped;
    std::function<void(THttpServer* Sender, THttpConnection* Client, std::uint16_t Error)> OnClientConnect;
    std::function<void(THttpServer* Sender, THttpConnection* Client, std::uint16_t Error)> OnClientDisconnect;
    std::function<void(THttpServer* Sender, THttpConnection* Client, THttpGetFlag& Flags)> OnGetDocument;
    std::function<void(THttpServer* Sender, THttpConnection* Client, THttpGetFlag& Flags)> OnHeadDocument;
    std::function<void(THttpServer* Sender, THttpConnection* Client, THttpGetFlag& Flags)> OnPostDocument;
    std::function<void(THttpServer* Sender, THttpConnection* Client, std::uint16_t Error)> OnPostedData;
    std::function<void(THttpServer* Sender, THttpConnection* Client)> OnHttpRequestDone;
    std::function<void(THttpServer* Sender, THttpConnection* Client)> OnBeforeProcessRequest;
    std::function<void(THttpServer* Sender, THttpConnection* Client, THttpDirEntry& DirEntry)> OnFilterDirEntry;
    std::function<void(THttpServer* Sender, THttpConnection* Client, std::string& Password)> OnAuthGetPassword;
    std::function<void(THttpServer* Sender, THttpConnection* Client, bool Success)> OnAuthResult;
    std::function<void(THttpServer* Sender, THttpConnection* Client)> OnAuthGetType;

    // ---- properties ----
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& v);
    const std::string& Addr() const { return addr_; }
    void SetAddr(const std::string& v);
    int MaxClients() const { return maxClients_; }
    void SetMaxClients(int v) { maxClients_ = v; }
    int ListenBacklog() const { return listenBacklog_; }
    void SetListenBacklog(int v) { listenBacklog_ = v; }
    const std::string& DocDir() const { return docDir_; }
    // A trailing "/" is removed and the path normalised.
    void SetDocDir(const std::string& v);
    const std::string& TemplateDir() const { return templateDir_; }
    void SetTemplateDir(const std::string& v) { templateDir_ = v; }
    const std::string& DefaultDoc() const { return defaultDoc_; }
    void SetDefaultDoc(const std::string& v) { defaultDoc_ = v; }
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff v) { lingerOnOff_ = v; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int v) { lingerTimeout_ = v; }
    THttpOptions Options() const { return options_; }
    void SetOptions(THttpOptions v) { options_ = v; }
    TAuthenticationType AuthType() const { return authType_; }
    void SetAuthType(TAuthenticationType v) { authType_ = v; }
    const std::string& AuthRealm() const { return authRealm_; }
    void SetAuthRealm(const std::string& v) { authRealm_ = v; }
    TAuthDigestMethod AuthDigestMethod() const { return authDigestMethod_; }
    void SetAuthDigestMethod(TAuthDigestMethod v) { authDigestMethod_ = v; }
    std::string SrcVersion() const;
    // Seconds a client has to send a whole request head, and a kept
    // connection may stay idle; 0 or less waits for ever.
    int Timeout() const { return timeout_; }
    void SetTimeout(int v) { timeout_ = v; }
    // Largest body a refused request may carry before the connection is
    // dropped instead of the body being read and thrown away.
    long long MaxDiscard() const { return maxDiscard_; }
    void SetMaxDiscard(long long v) { maxDiscard_ = v; }

    // The connection class made per client (THttpConnection by default).
    template<class T> void SetClientClass() {
        clientClass_ = [] { return std::unique_ptr<TWSocketClient>(new T()); };
    }

    // ---- operations ----
    void Start();
    void Stop();
    bool Listening() const;
    int ClientCount() const;
    THttpConnection* Client(int index) const;
    bool IsClient(const THttpConnection* c) const;
    TWSocketServer& WSocketServer() { return *server_; }
    // The port the listener is bound to (useful after Port "0").
    std::string BoundPort();

private:
    friend class THttpConnection;

    void ClientCreated(TWSocketClient* client);
    void ClientConnected(TWSocketClient* client, int error);
    // Hands each connection past its deadline to its TimedOut.
    void Sweep();

    std::unique_ptr<TWSocketServer> server_;
    std::unique_ptr<QTimer> sweep_;
    TWSocketClientClass clientClass_;
    std::string port_ = "80", addr_ = "0.0.0.0";
    int maxClients_ = 0, listenBacklog_ = 5;
    std::string docDir_ = "/var/www", templateDir_ = "/var/www/templates";
    std::string realDocDir_; // DocDir with its links resolved, at Start
    int rootFd_ = -1;        // that folder, the anchor of every request path
    std::string defaultDoc_ = "index.html";
    TSocketLingerOnOff lingerOnOff_ = wsLingerNoSet;
    int lingerTimeout_ = 0;
    THttpOptions options_ = 0;
    TAuthenticationType authType_ = atNone;
    std::string authRealm_ = "qordex";
    TAuthDigestMethod authDigestMethod_ = daAuth;
    int timeout_ = 30;
    long long maxDiscard_ = 1024 * 1024;
    bool listening_ = false;
};

} // namespace qordex::web
