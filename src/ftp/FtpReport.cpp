#include "ftp/FtpReport.h"

namespace qordex::ftp {

std::string ErrorLine(int error, const std::string& message) {
    return "Error = " + std::to_string(error) + " (" + message + ")";
}

bool IsListingRequest(TFtpRequest rq) {
    return rq == ftpDirAsync || rq == ftpLsAsync || rq == ftpDirectoryAsync || rq == ftpListAsync;
}

std::vector<std::string> RequestDoneLines(const TCustomFtpCli& client, TFtpRequest rq, int error) {
    std::vector<std::string> lines = {
        "Request " + std::to_string(int(rq)) + " Done.",
        "StatusCode = " + std::to_string(client.StatusCode()),
        "LastResponse was : '" + client.LastResponse() + "'",
        error != 0 ? ErrorLine(error, client.ErrorMessage()) : std::string("No error"),
    };
    if (error != 0)
        return lines;
    if (rq == ftpCwdAsync || rq == ftpMkdAsync || rq == ftpPwdAsync || rq == ftpCDupAsync)
        lines.push_back("Directory is \"" + client.LastDirectory() + "\"");
    else if (rq == ftpSizeAsync)
        lines.push_back("File size is " + std::to_string(client.LastFileSize()) + " bytes");
    return lines;
}

} // namespace qordex::ftp
