#pragma once
// The whois server of the tests (tests/diag/whois_peer.py) seen from a test:
// where it listens, which connections it saw and the queries' bytes.

#include "platform/MessageLoop.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QTemporaryDir>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qordex::test {

class WhoisPeer {
public:
    // Serves `answer`; `options` are the peer's other options (--chunk, --hold, --big).
    explicit WhoisPeer(const std::string& answer, std::vector<std::string> options = {}) {
        const std::string path = dir_.filePath("answer").toStdString();
        std::ofstream(path, std::ios::binary) << answer;
        std::vector<std::string> argv = {"/usr/bin/python3", "-u",
                                         QORDEX_SOURCE_DIR "/tests/diag/whois_peer.py",
                                         "--answer", path};
        argv.insert(argv.end(), options.begin(), options.end());
        proc_ = std::make_unique<Background>(argv);
        port_ = proc_->FirstLineNumber(20000);
    }

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    Background& Process() { return *proc_; }

    // Lines the peer printed that begin with `tag` + " ", without it.
    std::vector<std::string> Tagged(const std::string& tag) {
        std::vector<std::string> out;
        for (const std::string& line : SplitLines(proc_->Output()))
            if (line.rfind(tag + " ", 0) == 0)
                out.push_back(line.substr(tag.size() + 1));
            else if (line == tag)
                out.emplace_back();
        return out;
    }
    // The queries received so far, as bytes.
    std::vector<std::string> Queries() {
        std::vector<std::string> out;
        for (const std::string& hex : Tagged("QUERY"))
            out.push_back(QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString());
        return out;
    }
    std::size_t Connections() { return Tagged("CONN").size(); }

private:
    QTemporaryDir dir_;
    std::unique_ptr<Background> proc_;
    int port_ = 0;
};

} // namespace qordex::test
