#include "win32_support.h"

#include <shellapi.h>

#include <atomic>

#include "serial/wide_text.h"

namespace tarvik::testing {

namespace {

constexpr std::chrono::milliseconds kPumpSlice{10};
constexpr std::chrono::milliseconds kAnswerPoll{20};
constexpr wchar_t kDialogClass[] = L"#32770";
// The text of a message box sits in its static control of this id.
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kTextChars = 1024;

void PumpOnce(HWND dialog) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (dialog == nullptr || !IsWindow(dialog) || !IsDialogMessageW(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

std::string WindowText(HWND window) {
    wchar_t text[kTextChars] = {};
    GetWindowTextW(window, text, kTextChars);
    return Utf8FromWide(text);
}

struct FindContext {
    HWND owner;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectOwned(HWND window, LPARAM context) {
    auto* find = reinterpret_cast<FindContext*>(context);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (window != find->owner && IsWindowVisible(window) &&
        GetWindow(window, GW_OWNER) == find->owner && wcscmp(className, kDialogClass) == 0) {
        find->found.push_back(window);
    }
    return TRUE;
}

}  // namespace

bool PumpUntil(HWND dialog, const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        PumpOnce(dialog);
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(kPumpSlice.count()),
                                  QS_ALLINPUT);
    }
}

void PumpFor(HWND dialog, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    PumpUntil(
        dialog, [&] { return std::chrono::steady_clock::now() >= end; }, duration * 2);
}

CBoxAnswerer::CBoxAnswerer(HWND owner) : m_owner(owner), m_thread([this] { Run(); }) {}

CBoxAnswerer::~CBoxAnswerer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
}

std::vector<SeenBox> CBoxAnswerer::Seen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_seen;
}

void CBoxAnswerer::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                return;
            }
        }
        FindContext find{m_owner, {}};
        EnumWindows(CollectOwned, reinterpret_cast<LPARAM>(&find));
        for (HWND box : find.found) {
            std::lock_guard<std::mutex> lock(m_mutex);
            bool answered = false;
            for (HWND old : m_answered) {
                answered = answered || old == box;
            }
            if (answered) {
                continue;
            }
            HWND textControl = GetDlgItem(box, kMessageBoxTextId);
            m_seen.push_back(
                SeenBox{WindowText(box), textControl != nullptr ? WindowText(textControl) : ""});
            m_answered.push_back(box);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        std::this_thread::sleep_for(kAnswerPoll);
    }
}

CTempFolder::CTempFolder() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"tarvik-window-" +
                        std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(counter.fetch_add(1));
    CreateDirectoryW(path.c_str(), nullptr);
    m_path = Utf8FromWide(path);
}

CTempFolder::~CTempFolder() {
    // Double zero at the end, as the shell's file operations want it.
    std::wstring from = WideFromUtf8(m_path);
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

std::string ReadBytes(const std::string& path) {
    // Shared with a writer: the window keeps its record log open while it runs.
    HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    DWORD wrote = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    CloseHandle(file);
}

bool FileExists(const std::string& path) {
    return GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string GoodImage(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    bytes.replace(1, 3, "IO-");
    return bytes;
}

bool WriteWindowBitmap(const std::string& path, HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file keeps it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    info.bmiHeader.biSizeImage = size;
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(bits), size);
    WriteBytes(path, bytes);
    SelectObject(memory, old);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return true;
}

}  // namespace tarvik::testing
