#pragma once
// The scripted line server (scripted_lines.py) seen from a test: a script
// is built step by step, the server runs it on one connection, and its
// transcript tells every line the client sent.

#include "support/Process.h"
#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace qordex::test {

class LineScript {
public:
    LineScript& Send(const std::string& text, std::vector<int> chunks = {}) {
        QJsonObject o{{"send", Latin1(text)}};
        if (!chunks.empty()) {
            QJsonArray c;
            for (int n : chunks)
                c.append(n);
            o["chunks"] = c;
        }
        return Add(o);
    }
    LineScript& Expect(int lines = 1) { return Add({{"expect", lines}}); }
    // Reads one command and answers it with a line.
    LineScript& Reply(const std::string& line) {
        Expect();
        return Send(line + "\r\n");
    }
    LineScript& Data() { return Add({{"data", true}}); }
    LineScript& Sleep(double seconds) { return Add({{"sleep", seconds}}); }
    LineScript& Cram(const std::string& kind, const std::string& challenge, const std::string& user,
                     const std::string& password) {
        return Add({{"cram", Latin1(kind)},
                    {"challenge", Latin1(challenge)},
                    {"user", Latin1(user)},
                    {"password", Latin1(password)}});
    }
    LineScript& WaitEof(double seconds = 10) { return Add({{"wait_eof", seconds}}); }
    LineScript& Close() { return Add({{"close", true}}); }
    LineScript& Silence() { return Add({{"silence", true}}); }

    std::string Json() const { return QJsonDocument(steps_).toJson().toStdString(); }

private:
    static QString Latin1(const std::string& s) {
        return QString::fromLatin1(s.data(), qsizetype(s.size()));
    }
    LineScript& Add(const QJsonObject& o) {
        steps_.append(o);
        return *this;
    }
    QJsonArray steps_;
};

// Runs a script; Port() is where it listens, Transcript() what it saw
// (after the server ended: it waits for that).
class ScriptedLineServer {
public:
    explicit ScriptedLineServer(const LineScript& script) {
        const std::string path = dir_.filePath("script.json").toStdString();
        std::ofstream(path) << script.Json();
        process_ = std::make_unique<Background>(std::vector<std::string>{
            "/usr/bin/python3", QORDEX_SOURCE_DIR "/tests/support/scripted_lines.py", path});
        if (!WaitForOutput(*process_, "\n", 20000))
            ADD_FAILURE() << "the scripted server did not start";
        const std::string first = process_->Output();
        port_ = first.rfind("PORT ", 0) == 0 ? std::stoi(first.substr(5)) : 0;
    }

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // The transcript lines after the PORT line, once the server ended.
    std::vector<std::string> Transcript(int timeoutMs = 20000) {
        process_->Wait(timeoutMs);
        auto lines = SplitLines(process_->Output());
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }
    // What the server printed so far, without waiting for its end.
    std::vector<std::string> SoFar() {
        auto lines = SplitLines(process_->Output());
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }
    Background& Process() { return *process_; }

private:
    QTemporaryDir dir_;
    std::unique_ptr<Background> process_;
    int port_ = 0;
};

} // namespace qordex::test
