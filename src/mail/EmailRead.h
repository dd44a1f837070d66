#pragma once
// What the POP3 client window and `qordex-cli pop3` share: the texts they
// print for the engine's events, a message file that appears under its name
// only once complete, and the GetAll chain that downloads every message of
// a mailbox into a folder.

#include "mail/Pop3Prot.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qordex::mail {

// "Request Done Rq=" + the request's ordinal + " Error=" + the code.
std::string Pop3RequestDoneLine(TPop3Request rq, std::uint16_t error);
// The status texts of STAT, LIST n and LAST.
std::string StatDoneText(const TCustomPop3Cli& pop3);
std::string ListDoneText(const TCustomPop3Cli& pop3);
std::string LastDoneText(const TCustomPop3Cli& pop3);
// The lines of a LIST or UIDL answer, and the markers around a message.
inline constexpr const char* kListBeginText = "*** List begin ***";
inline constexpr const char* kListEndText = "*** List End ***";
inline constexpr const char* kUidlBeginText = "*** Uidl begin ***";
inline constexpr const char* kUidlEndText = "*** Uidl end ***";
std::string ListLineText(const TCustomPop3Cli& pop3);
std::string UidlLineText(const TCustomPop3Cli& pop3);
std::string MessageBeginText(const TCustomPop3Cli& pop3);
std::string MessageEndText(const TCustomPop3Cli& pop3);

// A message being written: a temporary file created exclusively in its
// folder, which takes its final name only at Commit, so that a name never
// stands for a cut message.  Dropped uncommitted, it is deleted.
class TMessageFile {
public:
    ~TMessageFile();
    TMessageFile(const TMessageFile&) = delete;
    TMessageFile& operator=(const TMessageFile&) = delete;

    // Creates the temporary file in the folder open as `dirFd` (which must
    // outlive the file); null with `error` set on failure.
    static std::unique_ptr<TMessageFile> Create(int dirFd, std::string& error);
    // Writes straight into something that is no regular file (a device such
    // as /dev/null, a pipe), which no rename may replace; Commit only closes it.
    static std::unique_ptr<TMessageFile> OpenDirect(const std::string& path, std::string& error);
    // Appends a line and its CR LF; false once a write failed.
    bool WriteLine(std::string_view line);
    // Gives the file its name in the folder.  Without `replace` nothing that
    // stands under the name (a file, a directory, a symbolic link, dangling
    // or not) is replaced or followed: `exists` then tells why it failed.
    bool Commit(const std::string& name, bool replace, std::string& error, bool* exists = nullptr);
    // Deletes the temporary file.
    void Discard();

private:
    TMessageFile(int dirFd, int fd, std::string tempName);
    bool Flush();

    int dirFd_; // -1 when writing straight into the target
    int fd_;
    std::string tempName_;
    std::string buffer_;
    bool failed_ = false;
    bool done_ = false;
};

// Opens a folder for TMessageFile; -1 with `error` set on failure.
int OpenMessageFolder(const std::string& path, std::string& error);

// True when something (of any kind, a dangling symbolic link too) stands
// under the name in the folder.
bool MessageNameTaken(int dirFd, const std::string& name);

// "GetAll": STAT, then for each message UIDL n and, unless its file is
// there already, RETR n into "Msg " + unique id + ".txt" (see
// Pop3MessageFileName).  While it runs it owns the client's OnRequestDone
// and message events; it logs what the window's log shows.
class TPop3GetAll {
public:
    using Log = std::function<void(const std::string& line)>;
    TPop3GetAll(TCustomPop3Cli& pop3, Log log);
    ~TPop3GetAll();
    TPop3GetAll(const TPop3GetAll&) = delete;
    TPop3GetAll& operator=(const TPop3GetAll&) = delete;

    // Opens the folder (a trailing separator or none), takes over the
    // client's events and sends STAT.  Throws std::runtime_error when the
    // folder cannot be opened, Pop3Exception when STAT cannot be sent.
    void Start(const std::string& folder);
    bool Running() const { return running_; }

    // The chain ended: with "Finished" or "No message to download." (ok),
    // or at an error (its text; `fileError` for a failure of the folder or
    // a file rather than of the server).
    std::function<void(bool ok, const std::string& error, bool fileError)> OnFinished;

private:
    void RequestDone(std::uint16_t error);
    void NextMessage();
    void Stop(bool ok, const std::string& error, bool fileError = false);
    void CloseFolder();

    TCustomPop3Cli& pop3_;
    Log log_;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    int dirFd_ = -1;
    int step_ = 0; // 0 after STAT, 1 after UIDL, 2 after RETR
    bool running_ = false;
    std::unique_ptr<TMessageFile> file_; // the message being retrieved
    std::string fileName_;
};

} // namespace qordex::mail
