#pragma once
// What the FTP client tool prints when a request ends; the window and
// `qordex-cli ftp` share it.

#include "ftp/FtpCli.h"

#include <string>
#include <vector>

namespace qordex::ftp {

// "Request N Done.", "StatusCode = ...", "LastResponse was : '...'", then
// "Error = CODE (MESSAGE)" or "No error", and after a success the
// directory of CWD, MKD, PWD and CDUP or the size of SIZE.
std::vector<std::string> RequestDoneLines(const TCustomFtpCli& client, TFtpRequest rq, int error);

// "Error = CODE (MESSAGE)".
std::string ErrorLine(int error, const std::string& message);

// True for the requests whose end shows a directory listing.
bool IsListingRequest(TFtpRequest rq);

} // namespace qordex::ftp
