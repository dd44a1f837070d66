// qordex-cli encode / decode: the Encoder / Decoder on files or standard
// input and output.

#include "cli/Command.h"
#include "mail/CodecFiles.h"
#include "mail/UUEnc.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace qordex::mail;

void PrintUsage(FILE* out, const char* name) {
    std::fprintf(out,
                 "Usage: qordex-cli %s [--mode base64|uu|quoted] [IN [OUT]]\n\n"
                 "%s IN (standard input when missing or \"-\") into OUT (standard output\n"
                 "when missing or \"-\"), as the Encoder / Decoder window does.\n"
                 "An existing OUT is replaced once the whole result is written.\n\n"
                 "  --mode MODE  base64 (default): lines of 76 characters\n"
                 "               uu: UUencode lines, without \"begin\" and \"end\" lines\n"
                 "               quoted: quoted-printable escapes of every byte below 33,\n"
                 "               \"=\" and 128 and up\n",
                 name, std::strcmp(name, "encode") == 0 ? "Encodes" : "Decodes");
}

std::optional<int> ParseMode(const std::string& text) {
    if (text == "base64")
        return cmBase64;
    if (text == "uu" || text == "uuencode")
        return cmUUencode;
    if (text == "quoted")
        return cmQuoted;
    return std::nullopt;
}

int RunCodecCommand(int argc, char** argv, bool encode) {
    const std::string name = argv[0];
    int mode = cmBase64;
    std::vector<std::string> files;
    bool onlyFiles = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
            files.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout, name.c_str());
            return 0;
        } else if (arg == "--mode" || arg.rfind("--mode=", 0) == 0) {
            std::string value;
            if (arg == "--mode") {
                if (i + 1 >= argc)
                    return qordex::cli::UsageError(name, "--mode needs a value");
                value = argv[++i];
            } else {
                value = arg.substr(7);
            }
            const auto parsed = ParseMode(value);
            if (!parsed)
                return qordex::cli::UsageError(name, "unknown mode '" + value +
                                                         "' (base64, uu or quoted)");
            mode = *parsed;
        } else {
            return qordex::cli::UsageError(name, "unknown option '" + arg + "'");
        }
    }
    if (files.size() > 2)
        return qordex::cli::UsageError(name, "too many arguments");
    const std::string in = files.size() > 0 ? files[0] : "-";
    const std::string out = files.size() > 1 ? files[1] : "-";

    const std::string sourceName =
        in == "-" ? std::string("standard input") : "file \"" + in + "\"";
    try {
        std::ifstream file;
        if (in != "-")
            file = OpenInputFile(in);
        std::istream& source = in == "-" ? std::cin : file;
        if (out == "-") {
            RunCodec(encode, mode, source, sourceName, std::cout);
            std::cout.flush();
            if (!std::cout)
                throw ECodecFileError("Cannot write standard output");
        } else {
            // An interrupted run leaves no hidden half-written file behind.
            RunCodecToFile(encode, mode, source, sourceName, out,
                           [](const std::string& temp) { qordex::cli::RemoveOnInterrupt(temp); });
            qordex::cli::RemoveOnInterrupt({});
        }
    } catch (const ECodecFileError& e) {
        qordex::cli::RemoveOnInterrupt({});
        std::fprintf(stderr, "qordex-cli %s: %s\n", name.c_str(), e.what());
        // Said here already; main() need not say it again.
        std::clearerr(stdout);
        return 1;
    }
    return 0;
}

int RunEncode(int argc, char** argv) {
    return RunCodecCommand(argc, argv, true);
}
int RunDecode(int argc, char** argv) {
    return RunCodecCommand(argc, argv, false);
}

const qordex::cli::Registration encodeReg{
    "encode", "encode a file as Base64, UUencode or quoted-printable lines", RunEncode};
const qordex::cli::Registration decodeReg{
    "decode", "decode Base64, UUencode or quoted-printable text", RunDecode};

} // namespace
