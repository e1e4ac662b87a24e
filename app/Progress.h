// The progress line of a long compression or extraction: when standard error
// is a terminal and a run has gone on for more than a second, one line there,
// redrawn in place with a carriage return, shows the share done, the bytes
// done of the total, the speed and the time left (the bytes and the speed
// alone while the total is unknown). Every line the program prints on
// standard output or standard error clears it first and draws it again
// after, so printed lines stay whole; it is cleared for good when the run's
// closing lines come. Where standard error is no terminal nothing is written.
#pragma once

#include <cstdint>
#include <functional>

// Shows progress from now on, where standard error is a terminal; until the
// object goes, the console streams pass through the line's keeper. One at a
// time.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // done bytes of total; total 0: not known yet.
    void update(uint64_t done, uint64_t total);
    // The hook for the block pipeline.
    std::function<void(uint64_t, uint64_t)> hook();
    // Clears the line for good (before the closing lines).
    void stop();
};
