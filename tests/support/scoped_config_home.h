// A throw-away configuration folder: XDG_CONFIG_HOME points at it while the object lives, so
// no test reads or writes the user's own settings or ports folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tarvik::testing {

class ScopedConfigHome {
public:
    ScopedConfigHome() {
        std::string pattern = std::filesystem::temp_directory_path() / "tarvik-cfg-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        m_path = pattern;
        if (const char* old = getenv("XDG_CONFIG_HOME")) {
            m_previous = old;
        }
        setenv("XDG_CONFIG_HOME", m_path.c_str(), 1);
    }
    ~ScopedConfigHome() {
        if (m_previous) {
            setenv("XDG_CONFIG_HOME", m_previous->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScopedConfigHome(const ScopedConfigHome&) = delete;
    ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path settingsFile() const { return m_path / "tools-tarvik.ini"; }

    std::filesystem::path portsFolder() const { return m_path / "tarvik-ports"; }

    // Makes COM `number` lead to `target` through the ports folder; returns the entry.
    std::filesystem::path linkPort(int number, const std::filesystem::path& target) const {
        std::filesystem::create_directories(portsFolder());
        auto entry = portsFolder() / ("com" + std::to_string(number));
        std::filesystem::create_symlink(target, entry);
        return entry;
    }

private:
    std::filesystem::path m_path;
    std::optional<std::string> m_previous;
};

}  // namespace tarvik::testing
