#pragma once
// Files for the Encoder / Decoder and `qordex-cli encode|decode`: reading a
// source and replacing a target without ever leaving a half-written file.

#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace qordex::mail {

// A file that cannot be opened, read or written; the text names the file
// and the reason ("Cannot open file "x": No such file or directory").
class ECodecFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True when something exists under the name.
bool FileExists(const std::string& path);

// Opens a file for binary reading; throws ECodecFileError when it cannot.
std::ifstream OpenInputFile(const std::string& path);

// Writes a file under a temporary name in the target's folder and moves it
// over the target only on Commit().  Until then the old file stays as it was,
// so a failed run loses nothing and the source may be the target itself.
// An uncommitted file is removed on destruction.  A device or pipe that
// exists under the name (/dev/null, /dev/stdout) is written in place.
class TReplacingFile {
public:
    // Throws ECodecFileError when the temporary file cannot be created.
    explicit TReplacingFile(std::string path);
    ~TReplacingFile();
    TReplacingFile(const TReplacingFile&) = delete;
    TReplacingFile& operator=(const TReplacingFile&) = delete;

    std::ostream& Stream() { return out_; }
    // The temporary file being written; empty when the target is written in place.
    const std::string& TempPath() const { return temp_; }
    // Flushes, closes and renames over the target; throws ECodecFileError.
    void Commit();

private:
    std::string path_; // the target, symbolic links resolved
    std::string name_; // the target as named, for messages
    std::string temp_; // the temporary file beside it
    std::ofstream out_;
    bool committed_ = false;
};

// One conversion of the Encoder / Decoder, as its window and `qordex-cli
// encode|decode` both run it: all remaining bytes of `source` go through the
// codec in `mode` (TCodecMode) into `target`.  Throws ECodecFileError
// ("Cannot read " + sourceName) when the source fails on the way.
void RunCodec(bool encode, int mode, std::istream& source, const std::string& sourceName,
              std::ostream& target);

// The same into the file `outPath`, which is replaced only once the whole
// result is written (TReplacingFile).  `onTemp`, when given, learns the
// temporary file's name before anything is written to it, so that a program
// interrupted meanwhile can remove it.  Throws ECodecFileError.
void RunCodecToFile(bool encode, int mode, std::istream& source, const std::string& sourceName,
                    const std::string& outPath,
                    const std::function<void(const std::string& tempPath)>& onTemp = {});

} // namespace qordex::mail
