// The settings file on a POSIX system: in the configuration folder, UTF-8, replaced whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "serial/com_names.h"
#include "settings/settings.h"

namespace tarvik {

namespace {

constexpr char kTempSuffix[] = ".tmp.";
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string SettingsFilePath() {
    return ConfigFolder() + "/" + kSettingsFileName;
}

std::string FallbackSettingsPath(const std::string&) {
    // The configuration folder is the user's own: there is nowhere better to go.
    return std::string();
}

CProfile CProfile::ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return CProfile{};
    }
    std::ostringstream content;
    content << file.rdbuf();
    return Parse(content.str());
}

Settings LoadSettings(const std::string& path) {
    return SettingsFromProfile(CProfile::ReadFile(path));
}

bool SaveSettings(const std::string& path, const Settings& settings) {
    return ReplaceFileWhole(path, FormatSettings(settings));
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        return false;
    }
    bytes = content.str();
    return true;
}

bool ReplaceFileWhole(const std::string& path, const std::string& bytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path target(path);
    // A settings file that is a link (kept with the user's other configuration files) stays
    // a link: the new content goes where it points.
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path resolved = fs::weakly_canonical(target, error);
        if (error) {
            return false;
        }
        target = resolved;
    }
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), error);
        if (error) {
            return false;
        }
    }

    const std::string temp = target.string() + kTempSuffix + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd < 0 && errno == EEXIST) {
        // Left behind by a run of this process id that ended during a save.
        ::unlink(temp.c_str());
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    }
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    }
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tarvik
