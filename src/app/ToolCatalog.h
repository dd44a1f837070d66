#pragma once
// The eighteen tools the launcher offers, in button order.

#include <QString>
#include <functional>
#include <vector>

namespace qordex::shell {
class TToolForm;
}

namespace qordex::app {

struct ToolEntry {
    QString button;      // launcher button name ("PingBt")
    QString caption;     // button caption ("Ping")
    QString className;   // window class ("TForm2")
    int x, y;            // button position on the launcher
    bool singleInstance; // the button disables itself while its window is open
    std::function<shell::TToolForm*()> create; // empty while the tool is not built yet
};

const std::vector<ToolEntry>& ToolCatalog();

} // namespace qordex::app
