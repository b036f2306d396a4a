// The board's end of the line: a new pseudo-terminal (the tool opens its slave) or an
// existing device, and the optional symbolic link that gives it a COM name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvik::sim {

class BoardPort {
public:
    BoardPort() = default;
    ~BoardPort();
    BoardPort(const BoardPort&) = delete;
    BoardPort& operator=(const BoardPort&) = delete;

    // Opens a new pseudo-terminal. Its slave is held open here as well: when the tool closes
    // its port the master then sees no hang-up, which would make poll report it at once,
    // over and over, until the tool opened the port again. The slave starts in raw mode so
    // that nothing the board sends is echoed back to it.
    bool openPty(std::string& error);
    // Opens an existing device in raw mode, non-blocking, at `baud`.
    bool openDevice(const std::string& path, std::uint32_t baud, std::string& error);

    // Makes a symbolic link at `path` to the port (replacing an old link there, creating the
    // folder). Removed again by removeLink() or the destructor, if it still leads here.
    bool makeLink(const std::string& path, std::string& error);
    void removeLink();

    // Bytes written to the port that the other side has not read yet; nothing if that can't
    // be known. Once the master is closed, whatever the tool has not read is gone.
    std::optional<int> unreadByPeer() const;
    // Waits until what was written to a device has gone out on the line.
    void drainDevice() const;

    // Closes everything: the device vanishes, as a pulled USB adapter does.
    void close();

    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }
    bool isPty() const { return m_keep >= 0; }

private:
    int m_fd = -1;    // the master, or the device
    int m_keep = -1;  // the slave held open, for a pty
    std::string m_path;
    std::optional<std::string> m_link;
};

}  // namespace tarvik::sim
