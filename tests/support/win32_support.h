// What the Windows window tests share: a message pump with a bound, a thread that answers the
// window's message boxes and notes what they said, a temporary folder, and files written
// byte by byte.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::testing {

// Generous: the machine may be busy, and nothing here is a speed test.
inline constexpr std::chrono::seconds kEventBound{60};

// Runs the thread's messages (as a dialog's loop would, for `dialog`) until `done` or the
// bound; true when `done` came.
bool PumpUntil(HWND dialog, const std::function<bool()>& done,
               std::chrono::milliseconds bound = kEventBound);
// Runs the thread's messages for `duration`.
void PumpFor(HWND dialog, std::chrono::milliseconds duration);

// A message box, or any other dialog, seen above the window.
struct SeenBox {
    std::string caption;  // UTF-8
    std::string text;     // a message box's text; empty for other dialogs
};

// Closes, with OK, every dialog that `owner` owns while it lives, and notes each one.
class CBoxAnswerer {
public:
    explicit CBoxAnswerer(HWND owner);
    ~CBoxAnswerer();
    std::vector<SeenBox> Seen() const;

private:
    void Run();

    HWND m_owner;
    mutable std::mutex m_mutex;
    std::vector<SeenBox> m_seen;
    std::vector<HWND> m_answered;
    bool m_stop = false;
    std::thread m_thread;
};

// A fresh folder below the temporary folder, removed with everything in it at the end.
class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    const std::string& Path() const { return m_path; }  // UTF-8, no trailing separator
    std::string File(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// An image the board accepts: `length` bytes with the marker "IO-" at offset 1.
std::string GoodImage(size_t length);

// The whole of `window` as the screen shows it (caption and frame included), as a 24-bit
// BMP file at `path`.
bool WriteWindowBitmap(const std::string& path, HWND window);

}  // namespace tarvik::testing
