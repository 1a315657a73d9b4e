#include "Link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

namespace Korvo::Sim {

namespace {

bool ReadLink(const std::string& path, std::string& out)
{
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0 || static_cast<std::size_t>(n) >= buf.size()) {
        return false;
    }
    out.assign(buf.data(), static_cast<std::size_t>(n));
    return true;
}

}  // namespace

Link::Link(Link&& other) noexcept
    : path_(std::move(other.path_)), target_(std::exchange(other.target_, std::string()))
{
    other.path_.clear();
}

Link& Link::operator=(Link&& other) noexcept
{
    if (this != &other) {
        Remove();
        path_ = std::move(other.path_);
        target_ = std::exchange(other.target_, std::string());
        other.path_.clear();
    }
    return *this;
}

void Link::CheckClaimable(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        throw LinkRefused("--link " + path + ": exists and is not a symbolic link; refusing to replace it");
    }
}

void Link::PointTo(const std::string& target)
{
    if (path_.empty()) {
        return;
    }
    CheckClaimable(path_);
    if (::symlink(target.c_str(), path_.c_str()) != 0) {
        if (errno != EEXIST) {
            throw std::system_error(errno, std::generic_category(), "symlink " + path_);
        }
        // Replace the existing symbolic link in one step, so that a host polling the
        // path never finds it missing or half made.
        const std::string temp = path_ + ".korvo-sim." + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(target.c_str(), temp.c_str()) != 0) {
            throw std::system_error(errno, std::generic_category(), "symlink " + temp);
        }
        CheckClaimable(path_);
        if (::rename(temp.c_str(), path_.c_str()) != 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            throw std::system_error(err, std::generic_category(), "rename " + temp);
        }
    }
    target_ = target;
}

void Link::Remove() noexcept
{
    if (path_.empty() || target_.empty()) {
        return;
    }
    std::string current;
    if (ReadLink(path_, current) && current == target_) {
        ::unlink(path_.c_str());
    }
    target_.clear();
}

}  // namespace Korvo::Sim
