// Registering a tool: include its window's header below and give its entry
// in the table a factory, `[] { return new subsystem::TFormN; }`.  That
// entry is all the launcher needs: the button is enabled once it has a
// factory, and the window is listed, shown, remembered as its class's
// current instance and let go when it is destroyed.  Nothing else in
// src/app or src/shell changes for a new tool.

#include "app/ToolCatalog.h"

#include "diag/ui/DnsUnit.h"
#include "diag/ui/NetinfoUnit.h"
#include "diag/ui/PingUnit.h"
#include "diag/ui/TraceUnit.h"
#include "diag/ui/WhoisUnit.h"
#include "ftp/ui/FtpCUnit.h"
#include "ftp/ui/FtpSUnit.h"
#include "mail/ui/EmailReadUnit.h"
#include "mail/ui/EmailSendUnit.h"
#include "mail/ui/EmailServUnit.h"
#include "time/ui/TimeCUnit.h"
#include "time/ui/TimeSUnit.h"
#include "tools/ui/BroadSendUnit.h"
#include "tools/ui/TCPcliUnit.h"
#include "tools/ui/TcpSUnit.h"
#include "tools/ui/UDPlistenerUnit.h"
#include "web/ui/HttpServUnit.h"
#include "web/ui/HttpUnit.h"

namespace qordex::app {

const std::vector<ToolEntry>& ToolCatalog() {
    static const std::vector<ToolEntry> tools = {
        {"PingBt", "Ping", "TForm2", 8, 8, false, [] { return new diag::TForm2; }},
        {"DNSBt", "DNS", "TForm3", 134, 8, false, [] { return new diag::TForm3; }},
        {"HTTPBt", "HTTP client", "TForm4", 260, 8, false, [] { return new web::TForm4; }},
        {"HttpServBt", "HTTP server", "TForm19", 8, 46, false,
         [] { return new web::TForm19; }},
        {"EmailRBt", "POP3 client", "TForm5", 134, 46, false, [] { return new mail::TForm5; }},
        {"EmailSBt", "SMTP client", "TForm6", 260, 46, false, [] { return new mail::TForm6; }},
        {"EmailServBt", "SMTP server", "TForm18", 8, 84, false,
         [] { return new mail::TForm18; }},
        {"FTPcliBt", "FTP client", "TForm7", 134, 84, false, [] { return new ftp::TForm7; }},
        {"FTPsrvBt", "FTP server", "TForm8", 260, 84, false, [] { return new ftp::TForm8; }},
        {"TCPCliBt", "TCP/UDP client", "TForm13", 8, 122, false, [] { return new tools::TForm13; }},
        {"TCPSrvBt", "TCP server", "TForm14", 134, 122, false,
         [] { return new tools::TForm14; }},
        {"UDPlistenerBt", "UDP listener", "TForm11", 260, 122, false,
         [] { return new tools::TForm11; }},
        {"BroadSendBt", "Broadcast send", "TForm12", 8, 160, false,
         [] { return new tools::TForm12; }},
        {"TimeCliBt", "Time client", "TForm9", 134, 160, false,
         [] { return new timetools::TForm9; }},
        {"TimeSrvBt", "Time server", "TForm10", 260, 160, false,
         [] { return new timetools::TForm10; }},
        {"TraceBt", "Traceroute", "TForm16", 8, 198, false, [] { return new diag::TForm16; }},
        {"WhoisBt", "Whois", "TForm17", 134, 198, false, [] { return new diag::TForm17; }},
        {"InfoBt", "Net information", "TNetInfoForm", 260, 198, true,
         [] { return new diag::TNetInfoForm; }},
    };
    return tools;
}

} // namespace qordex::app
