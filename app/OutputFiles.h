// Files a run writes, made so that a run that fails or is interrupted leaves
// every file that existed before it as it was. A regular file (or a name that
// does not exist yet) is written under a temporary name beside it and renamed
// over it only when complete; the temporary files are removed when the run
// fails, and by a handler when it is ended by SIGINT, SIGTERM or SIGHUP (on
// Windows: Ctrl-C, Ctrl-Break, closing the console).
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

// Installs the handlers that remove the registered temporary files when the
// process is interrupted and then end it as the signal would have. A hang-up
// that was ignored when the program started (nohup) stays ignored. Call
// once, early.
void installInterruptCleanup();

// The permission bits a new file gets from the process (0666 less the umask).
unsigned defaultFileMode();

// True when `name` is the very file standard output writes to (same device
// and inode), whatever kind of file it is.
bool isStandardOutputFile(const std::string& name);

// True when the lines the program prints on standard output would mix into
// the data written to `name`: it is standard output's own file and that is a
// regular file, a pipe, a FIFO or a socket (not a terminal or a device).
bool outputSharesStandardOutput(const std::string& name);

// True when `name` exists and is something other than a regular file or a
// folder (a pipe, a FIFO, a device, a socket); links are followed.
bool isSpecialFile(const std::string& name);

// True when `name` is not a file that can be named again: a pipe, a FIFO, a
// device, or a name for one of the process's open descriptors (/dev/stdin,
// /dev/fd/N, /proc/self/fd/N), whatever that refers to.
bool isStreamName(const std::string& name);

// True when `name` exists (links followed).
bool fileExists(const std::string& name);

// True when the two names denote the same file: by identity when both exist,
// else by their resolved paths (so "v.p" and "./v.p" match before either is
// written).
bool sameFile(const std::string& a, const std::string& b);

// What a finished output is given before it takes its final name.
struct FileAttributes {
    bool fromFile = false;  // copy from `source`; else the default mode
    std::string source;     // a file whose permission bits (and time) to copy
    bool withTime = true;   // also copy the modification time
};

// One file a run writes. How it is written is decided by open():
//  - Replace: a regular file or a new name. Written under "NAME.morvtmp..."
//    in the folder of NAME (of the file a symbolic link NAME points to; the
//    link stays a link), created with mode 0600; commit() renames it over
//    the final name; until then NAME keeps its bytes.
//  - Direct: a device, a FIFO, a pipe, or the file standard output writes
//    to; opened at once and written where it is, never renamed.
//  - InPlace: where no temporary file can be made beside NAME (a folder the
//    user may not write to, holding a file they may): NAME is truncated only
//    when the first byte is written, which the drivers do only after the
//    input has been checked.
// Destroying an OutputFile that was not committed removes its temporary file.
class OutputFile {
public:
    enum class Mode { Replace, Direct, InPlace };

    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Prepares `name` for writing. Throws Exception(openFailure + name) when
    // it cannot be written (an existing file without write permission, a
    // folder, a missing folder). `text`: opened in text mode (diagnostic
    // files), else binary.
    void open(const std::string& name, const std::string& openFailure, bool text = false);

    bool isOpen() const;
    Mode mode() const;
    const std::string& name() const;  // the final name, for every message
    // The file the bytes go to now: the temporary file until commit, else the
    // final name. A round-trip test reads the packed file back through it.
    const std::string& writtenPath() const;
    bool existedBefore() const;  // the final name existed when open() ran
    // True once any byte has been written.
    bool touched() const;

    std::ostream& stream();

    // Flushes and closes the file; throws Exception("Unable to write output
    // file: " + name) when a write failed. Then gives the written file the
    // attributes (regular files only; best effort). Idempotent.
    void finish(const FileAttributes& attributes);
    // Renames the temporary file over the final name (finish() first).
    // Throws Exception("Unable to write output file: " + name) when the
    // rename fails; the temporary file is removed then.
    void commit();
    // Closes and removes the temporary file, if any; the final name keeps
    // what it had. InPlace and Direct outputs stay as written.
    void discard();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A copy of an input that cannot be read twice or measured (a pipe, a FIFO,
// a device), taken to its end into a temporary file (beside `besideName`
// when that folder takes one, else in the system's temporary folder) and
// removed with this object or at an interrupt. Throws Exception("Cannot
// compress file larger than 4294967295 bytes") as soon as more than that has
// been read, and Exception("Unable to read input file: " + inputName) on a
// read error.
class SpooledInput {
public:
    SpooledInput() = default;
    ~SpooledInput();
    SpooledInput(const SpooledInput&) = delete;
    SpooledInput& operator=(const SpooledInput&) = delete;

    // Reads `in` (opened on inputName) to its end into the copy; progress,
    // when given, hears the bytes copied so far after every piece.
    void spool(std::istream& in, const std::string& inputName, const std::string& besideName,
               const std::function<void(uint64_t)>& progress = nullptr);
    bool active() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }

private:
    std::string path_;
    int slot_ = -1;
    uint64_t size_ = 0;
};
