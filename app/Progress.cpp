// The progress line. The console streams are routed through a buffer that
// clears the line before any text and draws it again after a completed line;
// the line itself goes straight to standard error's own buffer.
#include "app/Progress.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "base/WindowsApi.h"

namespace {

using Clock = std::chrono::steady_clock;

bool standardErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}

unsigned terminalWidth() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
    }
#else
    struct winsize size {};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

std::string bytesText(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string durationText(double seconds) {
    const auto total = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", total / 60, total % 60);
    }
    return text;
}

// The state of the one line on the terminal.
struct LineState {
    bool active = false;   // a ProgressLine lives and standard error is a terminal
    bool visible = false;  // the line is on the screen now
    std::string text;      // what it shows (drawn again after a printed line)
    std::size_t drawnLength = 0;
    std::streambuf* terminal = nullptr;  // standard error's own buffer

    void clear() {
        if (!visible) return;
        std::string blank(1, '\r');
        blank.append(drawnLength, ' ');
        blank.push_back('\r');
        terminal->sputn(blank.data(), static_cast<std::streamsize>(blank.size()));
        terminal->pubsync();
        visible = false;
        drawnLength = 0;
    }
    void draw() {
        if (!active || text.empty()) return;
        std::string line(1, '\r');
        line += text;
        if (text.size() < drawnLength) line.append(drawnLength - text.size(), ' ');
        terminal->sputn(line.data(), static_cast<std::streamsize>(line.size()));
        terminal->pubsync();
        visible = true;
        drawnLength = text.size();
    }
};

LineState line;

// Stands in for a console stream's buffer: clears the line before text goes
// out and draws it again once a line has ended and been flushed.
class ClearingBuffer : public std::streambuf {
public:
    explicit ClearingBuffer(std::streambuf* target) : target_(target) {}
    std::streambuf* target() const { return target_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        line.clear();
        endedLine_ = traits_type::to_char_type(c) == '\n';
        return target_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        line.clear();
        endedLine_ = s[n - 1] == '\n';
        return target_->sputn(s, n);
    }
    int sync() override {
        const int result = target_->pubsync();
        if (endedLine_) line.draw();
        return result;
    }

private:
    std::streambuf* target_;
    bool endedLine_ = false;
};

Clock::time_point started;
Clock::time_point lastDrawn;
std::streambuf* savedOut = nullptr;
std::streambuf* savedErr = nullptr;
ClearingBuffer* outBuffer = nullptr;
ClearingBuffer* errBuffer = nullptr;

}  // namespace

ProgressLine::ProgressLine() {
    started = Clock::now();
    lastDrawn = started;
    if (line.active || !standardErrorIsTerminal()) return;
    line = LineState{};
    line.active = true;
    savedOut = std::cout.rdbuf();
    savedErr = std::cerr.rdbuf();
    line.terminal = savedErr;
    outBuffer = new ClearingBuffer(savedOut);
    errBuffer = new ClearingBuffer(savedErr);
    std::cout.rdbuf(outBuffer);
    std::cerr.rdbuf(errBuffer);
}

ProgressLine::~ProgressLine() { stop(); }

void ProgressLine::stop() {
    if (!line.active) return;
    line.clear();
    line.active = false;
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    delete outBuffer;
    delete errBuffer;
    outBuffer = errBuffer = nullptr;
}

void ProgressLine::update(uint64_t done, uint64_t total) {
    if (!line.active) return;
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - started).count();
    // Nothing for runs that end within a second; then a few updates a second.
    if (elapsed < 1.0 || now - lastDrawn < std::chrono::milliseconds(200)) return;
    lastDrawn = now;
    const double speed = static_cast<double>(done) / elapsed;
    std::string text;
    if (total > 0) {
        const uint64_t shown = done < total ? done : total;
        const int percent =
            static_cast<int>(static_cast<double>(shown) * 100.0 / static_cast<double>(total));
        char head[8];
        std::snprintf(head, sizeof head, "%3d%%", percent);
        text = std::string(head) + " " + bytesText(shown) + " of " + bytesText(total) + ", " +
               bytesText(static_cast<uint64_t>(speed)) + "/s";
        if (speed > 0 && shown < total) {
            text += ", " + durationText(static_cast<double>(total - shown) / speed) + " left";
        }
    } else {
        text = bytesText(done) + ", " + bytesText(static_cast<uint64_t>(speed)) + "/s";
    }
    const std::size_t width = terminalWidth();
    if (text.size() >= width) text.resize(width > 1 ? width - 1 : 0);
    line.text = text;
    line.draw();
}

std::function<void(uint64_t, uint64_t)> ProgressLine::hook() {
    return [this](uint64_t done, uint64_t total) { update(done, total); };
}
