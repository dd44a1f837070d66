#include "web/HttpServTool.h"

#include "base/Text.h"
#include "tools/HexText.h"

#include <cstdio>
#include <ctime>

namespace qordex::web {

namespace {

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
    return AsciiLower(text).find(AsciiLower(part)) != std::string::npos;
}

// Form data: "+" is a space and "%XX" that byte.
std::string FormDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 &&
                   HexDigitValue(s[i + 2]) >= 0) {
            out += char(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string UpToZero(const std::string& s) {
    return s.substr(0, s.find('\0'));
}

} // namespace

THttpServTool::THttpServTool() {
    server_.SetListenBacklog(5);
    server_.SetLingerOnOff(wsLingerOn);
    server_.SetLingerTimeout(1);
    server_.SetClientClass<TMyHttpConnection>();
    server_.OnServerStarted = [this](THttpServer*) {
        Log("Server started");
        if (OnStarted)
            OnStarted();
    };
    server_.OnServerStopped = [this](THttpServer*) {
        Log("Server closed.");
        if (OnStopped)
            OnStopped();
    };
    server_.OnClientConnect = [this](THttpServer*, THttpConnection* c, std::uint16_t) {
        if (OnClientAdded)
            OnClientAdded(ClientLine(c));
    };
    server_.OnClientDisconnect = [this](THttpServer*, THttpConnection* c, std::uint16_t) {
        // The leaving connection still counts here.
        if (OnClientRemoved)
            OnClientRemoved(ClientLine(c), server_.ClientCount() <= 1);
    };
    server_.OnGetDocument = [this](THttpServer*, THttpConnection* c, THttpGetFlag& f) {
        GetDocument(c, f);
    };
    server_.OnHeadDocument = [this](THttpServer*, THttpConnection* c, THttpGetFlag&) {
        LogRequest(c, "HEAD");
    };
    server_.OnPostDocument = [this](THttpServer*, THttpConnection* c, THttpGetFlag& f) {
        PostDocument(c, f);
    };
    server_.OnPostedData = [this](THttpServer*, THttpConnection* c, std::uint16_t) {
        PostedData(c);
    };
}

THttpServTool::~THttpServTool() {
    server_.OnServerStarted = nullptr;
    server_.OnServerStopped = nullptr;
    server_.OnClientConnect = nullptr;
    server_.OnClientDisconnect = nullptr;
}

void THttpServTool::Start(const std::string& addr, const std::string& port, int maxClients,
                          const std::string& docDir, const std::string& defaultDoc) {
    server_.SetDocDir(Trim(docDir));
    server_.SetDefaultDoc(Trim(defaultDoc));
    server_.SetAddr(addr);
    server_.SetPort(port);
    server_.SetMaxClients(maxClients);
    server_.SetClientClass<TMyHttpConnection>();
    server_.Start();
}

void THttpServTool::Stop() {
    server_.Stop();
}

void THttpServTool::Log(const std::string& line) {
    if (OnLog)
        OnLog(line);
}

std::string THttpServTool::ClientLine(THttpConnection* c) {
    char id[32];
    std::snprintf(id, sizeof id, "%06X", unsigned(c->ClientNumber()));
    return std::string(id) + " | " + c->GetPeerAddr() + " : " + c->GetPeerPort();
}

bool THttpServTool::Disconnect(const std::string& clientLine) {
    const std::uint32_t id = HexTextToInt(clientLine);
    for (int i = 0; i < server_.ClientCount(); ++i) {
        THttpConnection* c = server_.Client(i);
        if (c && std::uint32_t(c->ClientNumber()) == id) {
            try {
                c->Shutdown(1);
            } catch (...) {
            }
            return true;
        }
    }
    return false;
}

void THttpServTool::LogRequest(THttpConnection* c, const char* what) {
    ++requestCount_;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char head[64];
    std::snprintf(head, sizeof head, "%4d | %02d:%02d:%02d | ", requestCount_, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    Log(head + c->GetPeerAddr() + " | " + what + ": " + c->Path());
    if (!ShowHeaders)
        return;
    int n = 0;
    for (const std::string& line : c->RequestHeader())
        Log("     HDR" + std::to_string(++n) + ") " + line);
}

void THttpServTool::GetDocument(THttpConnection* c, THttpGetFlag& flag) {
    LogRequest(c, "GET");
    if (ContainsIgnoreCase(c->Path(), "/Variables")) {
        SendVariables(c);
        flag = hgWillSendMySelf;
    }
}

void THttpServTool::SendVariables(THttpConnection* c) {
    // Every value comes from the client, so each is escaped before it
    // becomes part of the page.
    const std::pair<const char*, std::string> vars[] = {
        {"CONTENT_TYPE", c->RequestContentType()},
        {"CONTENT_LENGTH", std::to_string(c->RequestContentLength())},
        {"SCRIPT_NAME", c->Path()},
        {"REQUEST_METHOD", c->Method()},
        {"HTTP_REFERER", c->RequestReferer()},
        {"HTTP_AUTHORIZATION", c->RequestAuth()},
        {"HTTP_USER_AGENT", c->RequestUserAgent()},
        {"HTTP_ACCEPT", c->RequestAccept()},
        {"HTTP_ACCEPT_ENCODING", c->RequestAcceptEncoding()},
        {"HTTP_ACCEPT_LANGUAGE", c->RequestAcceptLanguage()},
        {"HTTP_CONNECTION", c->RequestConnection()},
        {"QUERY_STRING", c->Params()},
        {"REMOTE_ADDR", c->GetPeerAddr()},
        {"REMOTE_HOST", c->RequestHost()},
        {"REMOTE_PORT", c->GetPeerPort()},
        {"REQUEST_URI", c->Path() + c->Params()},
        {"REQUEST_URL", c->Path() + c->Params()},
        {"URL", c->RequestHost() + "/" + c->Params()},
        {"SERVER_ADDR", server_.Addr()},
        {"SERVER_PORT", server_.Port()},
    };
    std::string text;
    for (const auto& [name, value] : vars)
        text += std::string(name) + ": " + HtmlEscape(value) + "<br>";
    const std::string body =
        "<html><head><title>Qordex - Server Variables</title></head><body>\r\n" + text +
        "</body></html>\r\n";
    const std::string header = c->Version() + " 200 OK\r\nServer: Qordex web server, version 1.0\r\n" +
                               "Content-Length: " + std::to_string(body.size()) +
                               "\r\nContent-Type: text/html\r\n\r\n";
    c->SetDocStream(std::make_unique<TMemoryStream>(header + body));
    c->SendStream();
}

void THttpServTool::PostDocument(THttpConnection* c, THttpGetFlag& flag) {
    LogRequest(c, "POST");
    auto* my = dynamic_cast<TMyHttpConnection*>(c);
    if (!my || !EqualsIgnoreCase(c->Path(), "/Form")) {
        flag = hg404;
        return;
    }
    if (c->RequestContentLength() > kMaxPostedData) {
        // The buffer follows the client's word: a bounded one refuses more.
        c->AnswerAndClose("413 Payload Too Large");
        flag = hgWillSendMySelf;
        return;
    }
    flag = hgAcceptData;
    c->SetLineMode(false);
    my->PostedData.assign(std::size_t(c->RequestContentLength()) + 1, '\0');
    my->PostedDataLen = 0;
    if (c->RequestContentLength() == 0) {
        c->PostedDataReceived();
        SendForm(my);
    }
}

void THttpServTool::PostedData(THttpConnection* c) {
    auto* my = dynamic_cast<TMyHttpConnection*>(c);
    if (!my)
        return;
    const long long remaining = c->RequestContentLength() - my->PostedDataLen;
    if (remaining <= 0) {
        char junk[255];
        c->Receive(junk, sizeof junk);
        return;
    }
    const int n = c->Receive(my->PostedData.data() + my->PostedDataLen, int(remaining));
    if (n <= 0)
        return;
    my->PostedDataLen += n;
    my->PostedData[std::size_t(my->PostedDataLen)] = '\0';
    Log("     Data: '" + UrlDecodePath(UpToZero(my->PostedData)) + "'");
    if (my->PostedDataLen < c->RequestContentLength())
        return;
    // The whole body is here: what follows it is the next request.
    c->PostedDataReceived();
    if (!EqualsIgnoreCase(c->Path(), "/Form"))
        c->Answer404();
    else
        SendForm(my);
}

std::string THttpServTool::FormField(std::string_view data, std::string_view name) {
    while (!data.empty()) {
        const std::size_t amp = data.find('&');
        const std::string_view pair = data.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && EqualsIgnoreCase(pair.substr(0, eq), name))
            return FormDecode(pair.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        data.remove_prefix(amp + 1);
    }
    return {};
}

void THttpServTool::SendForm(TMyHttpConnection* c) {
    const std::string decoded = UrlDecodePath(UpToZero(c->PostedData));
    const std::string value = FormField(decoded, "Name");
    const std::string body =
        "<HTML><HEAD><TITLE>Qordex web server</TITLE></HEAD>\r\n<BODY><H2>Name</H2>\r\n<P>" +
        HtmlEscape(value) + " from " + c->GetPeerAddr() + "</P></BODY></HTML>\r\n";
    const std::string header = c->Version() + " 200 OK\r\nContent-Type: text/html\r\n" +
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    c->SetDocStream(std::make_unique<TMemoryStream>(header + body));
    c->SendStream();
}

std::vector<std::string> THttpServTool::HelpTexts() {
    return {"\r\n ** Server Self Tests **\r\n", " GET:  host/Variables", "   show server variables\r\n",
            " POST:  host/Form?Name=user", "   data posting example\r\n"};
}

} // namespace qordex::web
