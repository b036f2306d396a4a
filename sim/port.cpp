#include "port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "line_settings.h"

namespace tarvik::sim {

namespace {
constexpr std::size_t kPathCapacity = 256;

std::string why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}
}  // namespace

BoardPort::~BoardPort() {
    close();
}

bool BoardPort::openPty(std::string& error) {
    m_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0 || grantpt(m_fd) != 0 || unlockpt(m_fd) != 0) {
        error = why("cannot open a pseudo-terminal");
        return false;
    }
    char name[kPathCapacity] = {};
    if (ptsname_r(m_fd, name, sizeof name) != 0) {
        error = why("cannot name the pseudo-terminal");
        return false;
    }
    m_path = name;
    m_keep = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_keep < 0) {
        error = why("cannot open " + m_path);
        return false;
    }
    if (!makeRaw(m_keep)) {
        error = why("cannot set " + m_path + " to raw mode");
        return false;
    }
    return true;
}

bool BoardPort::openDevice(const std::string& path, std::uint32_t baud, std::string& error) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) {
        error = why("cannot open " + path);
        return false;
    }
    m_path = path;
    if (!makeRaw(m_fd) || !setLineSpeed(m_fd, baud)) {
        error = why("cannot set " + path + " to raw mode at " + std::to_string(baud) + " baud");
        return false;
    }
    return true;
}

bool BoardPort::makeLink(const std::string& path, std::string& error) {
    const std::filesystem::path link(path);
    std::error_code ec;
    if (link.has_parent_path()) {
        std::filesystem::create_directories(link.parent_path(), ec);
        if (ec) {
            error = "cannot create " + link.parent_path().string() + ": " + ec.message();
            return false;
        }
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a symbolic link";
            return false;
        }
        ::unlink(path.c_str());
    }
    if (symlink(m_path.c_str(), path.c_str()) != 0) {
        error = why("cannot make the link " + path);
        return false;
    }
    m_link = path;
    return true;
}

void BoardPort::removeLink() {
    if (!m_link) {
        return;
    }
    // Leave a link that another board has taken over since.
    std::error_code ec;
    if (std::filesystem::read_symlink(*m_link, ec) == m_path && !ec) {
        ::unlink(m_link->c_str());
    }
    m_link.reset();
}

std::optional<int> BoardPort::unreadByPeer() const {
    int count = 0;
    // The slave held here is the same terminal as the tool's: its input queue is shared.
    if (m_keep < 0 || ioctl(m_keep, FIONREAD, &count) != 0) {
        return std::nullopt;
    }
    return count;
}

void BoardPort::drainDevice() const {
    if (m_keep < 0 && m_fd >= 0) {
        tcdrain(m_fd);
    }
}

void BoardPort::close() {
    removeLink();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_keep >= 0) {
        ::close(m_keep);
        m_keep = -1;
    }
}

}  // namespace tarvik::sim
