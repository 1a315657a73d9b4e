#include "support/StderrCapture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace Korvo::Testing {

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    file_ = ::memfd_create("korvo-stderr", MFD_CLOEXEC);
    saved_ = ::dup(2);
    if (file_ < 0 || saved_ < 0 || ::dup2(file_, 2) < 0) throw std::runtime_error("cannot capture stderr");
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
}

std::string StderrCapture::Text() const {
    std::fflush(stderr);
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(file_, buffer, sizeof buffer, offset);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

std::vector<std::string> StderrCapture::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace Korvo::Testing
