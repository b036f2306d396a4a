// A throw-away configuration folder for one test: XDG_CONFIG_HOME points at it while the
// object lives, so no test reads or writes the user's own ports folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarvik::testing {

class TempConfigFolder {
public:
    TempConfigFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-cfg-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        m_path = pattern;
        if (const char* old = getenv("XDG_CONFIG_HOME")) {
            m_previous = old;
        }
        setenv("XDG_CONFIG_HOME", m_path.c_str(), 1);
    }
    ~TempConfigFolder() {
        if (m_previous) {
            setenv("XDG_CONFIG_HOME", m_previous->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempConfigFolder(const TempConfigFolder&) = delete;
    TempConfigFolder& operator=(const TempConfigFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path portsFolder() const { return m_path / "tarvik-ports"; }

    // Makes the ports-folder entry comN lead to `target`.
    std::filesystem::path link(int comNumber, const std::filesystem::path& target) const {
        std::filesystem::create_directories(portsFolder());
        auto entry = portsFolder() / ("com" + std::to_string(comNumber));
        std::filesystem::create_symlink(target, entry);
        return entry;
    }

private:
    std::filesystem::path m_path;
    std::optional<std::string> m_previous;
};

}  // namespace tarvik::testing
