// The --link symbolic link to a device's current slave path.
#pragma once

#include <stdexcept>
#include <string>

namespace Korvo::Sim {

// PATH exists and is not a symbolic link: korvo-sim never replaces such a file.
class LinkRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Link {
public:
    Link() = default;
    explicit Link(std::string path) : path_(std::move(path)) {}
    ~Link() { Remove(); }

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    Link(Link&& other) noexcept;
    Link& operator=(Link&& other) noexcept;

    // Throws LinkRefused if PATH holds anything but a symbolic link.
    static void CheckClaimable(const std::string& path);

    // Creates the link, or atomically re-points an existing symbolic link.
    // Throws LinkRefused (see above) or std::system_error.
    void PointTo(const std::string& target);

    // Removes the link if it still points where this object last pointed it; a
    // link someone else has since re-pointed is left alone.
    void Remove() noexcept;

    [[nodiscard]] const std::string& Path() const noexcept { return path_; }
    [[nodiscard]] bool Empty() const noexcept { return path_.empty(); }

private:
    std::string path_;
    std::string target_;  // empty while no link of ours exists
};

}  // namespace Korvo::Sim
