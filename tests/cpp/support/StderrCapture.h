#pragma once
// StderrCapture: collects what the process writes to file descriptor 2 while
// it lives (the library reports errors there, with fprintf on stderr).

#include <string>
#include <vector>

namespace Korvo::Testing {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far (capture goes on).
    std::string Text() const;
    // The same, split into lines without their newlines.
    std::vector<std::string> Lines() const;

private:
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace Korvo::Testing
