// Output files written whole or not at all. The temporary files are listed in
// a fixed table of paths that the interrupt handler can walk without
// allocating or locking: a slot is claimed, its path written, and only then
// marked armed; the handler removes the armed ones.
#include "app/OutputFiles.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <streambuf>
#include <vector>

#include "base/Exception.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/WindowsApi.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------- temporary-file registry

constexpr std::size_t kTempSlots = 64;
constexpr std::size_t kTempPathBytes = 4096;

struct TempSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 armed
    char path[kTempPathBytes]{};
};

// Zero from the start, with no code run to make it so: a table built at
// start-up would touch each of its 64 pages in every run of the program.
constinit std::array<TempSlot, kTempSlots> tempSlots{};

void removePath(const char* path) {
#ifdef _WIN32
    DeleteFileA(path);
#else
    ::unlink(path);
#endif
}

// Called from the interrupt handler: only async-signal-safe calls.
void removeArmedTemps() {
    for (TempSlot& slot : tempSlots) {
        if (slot.state.load(std::memory_order_acquire) == 2) removePath(slot.path);
    }
}

// Lists `path` for removal at an interrupt; returns its slot, or -1 when the
// table is full or the path too long (it is then removed only by its owner).
int registerTemp(const std::string& path) {
    if (path.size() >= kTempPathBytes) return -1;
    for (std::size_t i = 0; i < kTempSlots; ++i) {
        int expected = 0;
        if (tempSlots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            std::memcpy(tempSlots[i].path, path.c_str(), path.size() + 1);
            tempSlots[i].state.store(2, std::memory_order_release);
            return static_cast<int>(i);
        }
    }
    return -1;
}

void unregisterTemp(int slot) {
    if (slot >= 0) tempSlots[static_cast<std::size_t>(slot)].state.store(0, std::memory_order_release);
}

#ifdef _WIN32
BOOL WINAPI onConsoleEvent(DWORD) {
    removeArmedTemps();
    return FALSE;  // the default handler then ends the process
}
#else
extern "C" void onInterrupt(int sig) {
    removeArmedTemps();
    // Ends the process the way the signal would have: the default action,
    // delivered as soon as this handler returns.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
#endif

// ------------------------------------------------------------ file system

// The file a chain of symbolic links ends at (the name itself when it is
// none); a link is replaced by writing its target.
fs::path followLinks(fs::path path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(path, ec)) return path;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

bool writable(const std::string& name) {
#ifdef _WIN32
    return _access(name.c_str(), 2) == 0;
#else
    return ::access(name.c_str(), W_OK) == 0;
#endif
}

// Creates a new, empty file "<target>.morvtmp<pid>-<n>" readable and
// writable by the owner alone; returns its path, or an empty string when the
// folder takes no new file.
std::string createTempBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long pid = static_cast<unsigned long>(_getpid());
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = target.string() + ".morvtmp" + std::to_string(pid) + "-" +
                                 std::to_string(counter.fetch_add(1));
#ifdef _WIN32
        const int fd =
            _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            _close(fd);
            return path;
        }
#else
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
#endif
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

void applyAttributes(const std::string& path, const FileAttributes& attributes) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return;
    fs::perms perms = static_cast<fs::perms>(defaultFileMode());
    if (attributes.fromFile) {
        const fs::file_status status = fs::status(attributes.source, ec);
        if (ec) return;
        perms = status.permissions() & fs::perms::all;
        // The time before the bits: a file that has just been made read-only
        // cannot have its time changed on every system.
        if (attributes.withTime) {
            const fs::file_time_type time = fs::last_write_time(attributes.source, ec);
            if (!ec) fs::last_write_time(path, time, ec);
        }
    }
    fs::permissions(path, perms, fs::perm_options::replace, ec);
}

// A file stream buffer that opens its file on the first byte written (or
// when asked to), so that an output written in place is truncated only once
// there is something to put in it.
class DeferredFileBuf : public std::streambuf {
public:
    void configure(std::string path, std::ios::openmode mode) {
        path_ = std::move(path);
        mode_ = mode;
    }
    // Opens the file now; false when it cannot be opened.
    bool openNow() {
        if (!opened_) {
            opened_ = true;
            failed_ = file_.open(path_, mode_) == nullptr;
        }
        return !failed_;
    }
    bool touched() const { return touched_; }
    // Flushes and closes; false when a write or the close failed.
    bool close() {
        if (!opened_) return true;
        const bool flushed = failed_ || file_.pubsync() == 0;
        const bool closed = !file_.is_open() || file_.close() != nullptr;
        return !failed_ && flushed && closed && !writeFailed_;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        touched_ = true;
        if (!openNow()) return 0;
        const std::streamsize put = file_.sputn(s, n);
        if (put != n) writeFailed_ = true;
        return put;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        touched_ = true;
        if (!openNow()) return traits_type::eof();
        const int_type put = file_.sputc(traits_type::to_char_type(c));
        if (traits_type::eq_int_type(put, traits_type::eof())) writeFailed_ = true;
        return put;
    }
    int sync() override {
        if (!opened_ || failed_) return 0;
        return file_.pubsync();
    }
    // Positions are those of the file (writers ask where they are, to tell
    // whether the file already holds text); a file not opened yet is empty.
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
        if (!opened_)
            return off == 0 && dir != std::ios_base::end ? pos_type(0) : pos_type(off_type(-1));
        if (failed_) return pos_type(off_type(-1));
        return file_.pubseekoff(off, dir, which);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        if (!opened_ || failed_) return pos_type(off_type(-1));
        return file_.pubseekpos(pos, which);
    }

private:
    std::filebuf file_;
    std::string path_;
    std::ios::openmode mode_ = std::ios::out;
    bool opened_ = false;
    bool failed_ = false;
    bool touched_ = false;
    bool writeFailed_ = false;
};

[[noreturn]] void throwWriteError(const std::string& name) {
    throw Exception("Unable to write output file: " + name);
}

}  // namespace

void installInterruptCleanup() {
    (void)defaultFileMode();  // read the umask while only this thread runs
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A hang-up that was ignored (nohup) stays ignored. An interrupt sent
        // on purpose is honoured even where the shell started the program
        // with interrupts ignored (a background job of a script).
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || (sig == SIGHUP && old.sa_handler == SIG_IGN)) continue;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
#endif
}

unsigned defaultFileMode() {
#ifdef _WIN32
    static const unsigned mode = 0666;
#else
    static const unsigned mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return 0666u & ~static_cast<unsigned>(mask);
    }();
#endif
    return mode;
}

bool isStandardOutputFile(const std::string& name) {
#ifdef _WIN32
    (void)name;
    return false;
#else
    struct stat out {};
    struct stat file {};
    return ::fstat(1, &out) == 0 && ::stat(name.c_str(), &file) == 0 && out.st_dev == file.st_dev &&
           out.st_ino == file.st_ino;
#endif
}

bool outputSharesStandardOutput(const std::string& name) {
#ifdef _WIN32
    (void)name;
    return false;
#else
    struct stat file {};
    if (!isStandardOutputFile(name) || ::stat(name.c_str(), &file) != 0) return false;
    return S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode);
#endif
}

bool isSpecialFile(const std::string& name) {
    std::error_code ec;
    const fs::file_status status = fs::status(name, ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status);
}

bool isStreamName(const std::string& name) {
    for (const char* prefix :
         {"/dev/stdin", "/dev/stdout", "/dev/stderr", "/dev/fd/", "/proc/self/fd/"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return isSpecialFile(name);
}

bool fileExists(const std::string& name) {
    std::error_code ec;
    return fs::exists(name, ec);
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        const bool same = fs::equivalent(a, b, ec);
        return same && !ec;
    }
    // A name that does not exist yet: compare where the two would be made.
    const fs::path pathA = fs::weakly_canonical(fs::absolute(followLinks(a), ec), ec);
    if (ec) return false;
    const fs::path pathB = fs::weakly_canonical(fs::absolute(followLinks(b), ec), ec);
    return !ec && pathA == pathB;
}

// ------------------------------------------------------------ OutputFile

struct OutputFile::State {
    std::string name;
    std::string writtenPath;
    fs::path target;  // the file a rename replaces
    Mode mode = Mode::Direct;
    bool existed = false;
    bool finished = false;
    bool done = false;  // committed or discarded
    int slot = -1;
    DeferredFileBuf buffer;
    std::ostream stream{nullptr};
};

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() {
    if (state_) discard();
}

void OutputFile::open(const std::string& name, const std::string& openFailure, bool text) {
    if (state_) discard();
    auto state = std::make_unique<State>();
    state->name = name;
    const std::ios::openmode openMode =
        std::ios::out | std::ios::trunc | (text ? std::ios::openmode{} : std::ios::binary);
    std::error_code ec;
    const fs::file_status status = fs::status(name, ec);
    state->existed = !ec && fs::exists(status);
    if (state->existed && fs::is_directory(status)) throw Exception(openFailure + name);

    if ((state->existed && !fs::is_regular_file(status)) || isStandardOutputFile(name)) {
        // Devices, pipes and standard output's own file are written where
        // they are; renaming would leave the writer of that file behind.
        state->mode = Mode::Direct;
        state->writtenPath = name;
        // Standard output's own file is appended to, as the shell opened it
        // (`>>` keeps what the file held; after `>` it is empty anyway).
        const std::ios::openmode directMode =
            isStandardOutputFile(name) ? (openMode & ~std::ios::trunc) | std::ios::app : openMode;
        state->buffer.configure(name, directMode);
        if (!state->buffer.openNow()) throw Exception(openFailure + name);
    } else {
        if (state->existed && !writable(name)) throw Exception(openFailure + name);
        state->target = followLinks(name);
        const std::string temp = createTempBeside(state->target);
        if (!temp.empty()) {
            state->mode = Mode::Replace;
            state->writtenPath = temp;
            state->slot = registerTemp(temp);
            state->buffer.configure(temp, openMode);
            if (!state->buffer.openNow()) {
                removePath(temp.c_str());
                unregisterTemp(state->slot);
                throw Exception(openFailure + name);
            }
        } else if (state->existed) {
            state->mode = Mode::InPlace;
            state->writtenPath = name;
            state->buffer.configure(name, openMode);
        } else {
            throw Exception(openFailure + name);
        }
    }
    state->stream.rdbuf(&state->buffer);
    state_ = std::move(state);
}

bool OutputFile::isOpen() const { return state_ != nullptr; }
OutputFile::Mode OutputFile::mode() const { return state_->mode; }
const std::string& OutputFile::name() const { return state_->name; }
const std::string& OutputFile::writtenPath() const { return state_->writtenPath; }
bool OutputFile::existedBefore() const { return state_->existed; }
bool OutputFile::touched() const { return state_->buffer.touched(); }
std::ostream& OutputFile::stream() { return state_->stream; }

void OutputFile::finish(const FileAttributes& attributes) {
    State& s = *state_;
    if (s.finished) return;
    s.finished = true;
    s.stream.flush();
    const bool streamOk = !s.stream.fail();
    // An output written in place that got no byte is still made empty.
    const bool opened = s.buffer.openNow();
    if (!s.buffer.close() || !streamOk || !opened) throwWriteError(s.name);
    applyAttributes(s.writtenPath, attributes);
}

void OutputFile::commit() {
    State& s = *state_;
    if (s.done) return;
    if (s.mode == Mode::Replace) {
        std::error_code ec;
        fs::rename(s.writtenPath, s.target, ec);
        if (ec) {
            discard();
            throwWriteError(s.name);
        }
        unregisterTemp(s.slot);
        s.slot = -1;
        s.writtenPath = s.name;
    }
    s.done = true;
}

void OutputFile::discard() {
    State& s = *state_;
    if (s.done) return;
    s.done = true;
    s.buffer.close();
    if (s.mode == Mode::Replace) {
        removePath(s.writtenPath.c_str());
        unregisterTemp(s.slot);
        s.slot = -1;
    }
}

// ------------------------------------------------------------ SpooledInput

SpooledInput::~SpooledInput() {
    if (!path_.empty()) {
        removePath(path_.c_str());
        unregisterTemp(slot_);
    }
}

void SpooledInput::spool(std::istream& in, const std::string& inputName, const std::string& besideName,
                         const std::function<void(uint64_t)>& progress) {
    constexpr uint64_t kMaxSize = 4294967295u;
    std::error_code ec;
    std::string path;
    if (!isSpecialFile(besideName)) path = createTempBeside(followLinks(besideName));
    if (path.empty()) {
        const fs::path folder = fs::temp_directory_path(ec);
        if (!ec) path = createTempBeside(folder / "morv-input");
    }
    if (path.empty()) throwWriteError(besideName);
    path_ = path;
    slot_ = registerTemp(path);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1u << 20);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<uint64_t>(in.gcount());
        if (got == 0) break;
        size_ += got;
        if (size_ > kMaxSize) throw Exception("Cannot compress file larger than 4294967295 bytes");
        out.write(chunk.data(), static_cast<std::streamsize>(got));
        if (!out) throwWriteError(besideName);
        if (progress) progress(size_);
    }
    if (in.bad()) throw Exception("Unable to read input file: " + inputName);
    out.close();
    if (out.fail()) throwWriteError(besideName);
}
