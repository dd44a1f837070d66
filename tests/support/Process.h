#pragma once
// Running real programs from tests: one-shot commands and background peers.

#include <string>
#include <sys/types.h>
#include <vector>

namespace qordex::test {

struct CommandResult {
    int status = -1; // exit status, or -1 when the program could not run
    std::string out; // standard output
    std::string err; // standard error
};

// Runs `argv` to completion (no shell) with `input` on its standard input.
CommandResult Run(const std::vector<std::string>& argv, const std::string& input = {},
                  int timeoutMs = 60000);

// Runs a command line through /bin/sh -c.
CommandResult Shell(const std::string& command, int timeoutMs = 60000);

// True when `name` is an executable on PATH.
bool HasProgram(const std::string& name);

// Path of a binary of this build ("qordex-cli").
std::string BinPath(const std::string& name);

// A peer program running in the background; killed (SIGTERM, then SIGKILL)
// and reaped when the object goes away.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running();
    // Sends a signal; returns false when the process is gone.
    bool Signal(int sig);
    // Waits for the exit; returns the exit status or -1 on timeout.
    int Wait(int timeoutMs);
    // Everything the process wrote to stdout so far (after it exited: all of it).
    std::string Output();
    // Waits for the first line of output (a peer that listens on a port of
    // its own choosing prints it first) and reads it as a number; 0 when the
    // process ended or stayed silent.
    int FirstLineNumber(int timeoutMs = 10000);

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string out_;
    int status_ = -1;
    bool reaped_ = false;
    void Drain(bool block);
};

// Waits until the process has printed `text` (true) or `timeoutMs` passed.
bool WaitForOutput(Background& process, const std::string& text, int timeoutMs = 10000);

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool WaitForTcpPort(int port, int timeoutMs = 5000);

// A free TCP port on 127.0.0.1 (for peers that cannot listen on port 0).
int FreeTcpPort();
int FreeUdpPort();

} // namespace qordex::test
