#pragma once
// What the HTTP client tool and `qordex-cli http` share: the settings a
// request takes from the tool, the lines the tool prints for the engine's
// events and results, and the document file the tool stores.  No widgets.

#include "web/HttpProt.h"

#include <QDateTime>
#include <functional>
#include <string>
#include <vector>

namespace qordex::web {

// The tool's defaults.
inline constexpr const char* kToolAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; Qordex)";
inline constexpr const char* kToolProgram = "Qordex";
inline constexpr const char* kDefaultDocFile = "HttpBody.htm";

struct THttpToolSettings {
    std::string url, agent = kToolAgent, referer, program = kToolProgram;
    std::string username, password;
    bool useProxy = false;
    bool proxyAuth = false;
    std::string proxyAddr, proxyPort, proxyUser, proxyPass;
    QDateTime modifiedSince; // null: no condition
};

// Gives the engine the tool's fixed settings (agent, accept, version...).
void ApplyToolDefaults(THttpCli& cli);
// Copies a request's settings; `withDate` is false for Post, which leaves
// ModifiedSince as it was.
void ApplyToolSettings(THttpCli& cli, const THttpToolSettings& s, bool withDate);

// "Using proxy 'host:port'" or "Not using proxy".
std::string ProxyLogLine(const THttpCli& cli);
// "GET Failed.", "StatusCode   = 404", "ReasonPhrase = ..." for "GET", "HEAD", "POST".
std::vector<std::string> FailureLines(const std::string& method, const THttpCli& cli);
// The lines of OnDocBegin: content type " => " DocName, "Document = " DocName.
std::vector<std::string> DocBeginLines(const THttpCli& cli);

// Prints the engine's dialogue: CMD>, HDR>, Cookie:, Location changed to:,
// RequestDone.  Replaces those five handlers.
void AttachToolLog(THttpCli& cli, std::function<void(const std::string&)> log);

// The document's file name: DocName with the extension that the image
// types call for, or HttpBody.htm when empty.
std::string ToolDocFileName(const std::string& docName, const std::string& contentType);

// A file the tool made for a document.
struct TDocFile {
    int fd = -1;       // open for writing, or -1
    std::string name;  // the name it got in the folder
    std::string error; // why it could not be made
};

// Makes a new file for a document in `folder` (which ends with "/").  The
// server chose the name, so: no name starting with "." or holding "/" or
// NUL; an existing file is never replaced nor followed through a link
// ("-1", "-2", ... go before the extension instead).
TDocFile CreateDocFile(const std::string& folder, const std::string& name);

// Moves a file, replacing the target; across file systems it copies and
// then removes the source.  Returns an error text, empty on success.
std::string MoveDocFile(const std::string& from, const std::string& to);

} // namespace qordex::web
