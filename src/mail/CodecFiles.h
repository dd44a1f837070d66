#pragma once
// Files for the Encoder / Decoder and `qordex-cli encode|decode`: reading a
// source and replacing a target without ever leaving a half-written file.

#include <fstream>
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
    // Flushes, closes and renames over the target; throws ECodecFileError.
    void Commit();

private:
    std::string path_; // the target, symbolic links resolved
    std::string name_; // the target as named, for messages
    std::string temp_; // the temporary file beside it
    std::ofstream out_;
    bool committed_ = false;
};

} // namespace qordex::mail
