#include "controls/image_button_win32.h"

#include <commctrl.h>

#include <string>

namespace tarvik {

namespace {

constexpr int kResourceIdMask = 0xFFFF;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr WORD kColourBits = 32;
constexpr WORD kMaskBits = 1;
constexpr int kMaskRowAlignBits = 16;  // rows of a device-dependent bitmap are word-aligned
// The id of the button's subclass procedure (one per button window).
constexpr UINT_PTR kSubclassId = 1;

RECT ToRect(const PixelRect& r) {
    return RECT{r.x, r.y, r.Right(), r.Bottom()};
}

PixelRect ToPixels(const RECT& r) {
    return PixelRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

int EdgeSystemColour(EdgeColour colour) {
    switch (colour) {
        case EdgeColour::Highlight:
            return COLOR_3DHILIGHT;
        case EdgeColour::Light3D:
            return COLOR_3DLIGHT;
        case EdgeColour::Shadow:
            return COLOR_3DSHADOW;
        case EdgeColour::DarkShadow:
            break;
    }
    return COLOR_3DDKSHADOW;
}

// 0x00RRGGBB as a DIB holds it, and back.
COLORREF FromDib(uint32_t pixel) {
    return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

BITMAPINFO TopDownInfo(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = kColourBits;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// The pixels of `bitmap` as 0x00RRGGBB, rows from the top.
bool ReadPixels(HBITMAP bitmap, SIZE& size, std::vector<uint32_t>& pixels) {
    BITMAP described{};
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof described, &described) == 0 ||
        described.bmWidth <= 0 || described.bmHeight <= 0) {
        return false;
    }
    size = SIZE{described.bmWidth, described.bmHeight};
    pixels.assign(static_cast<size_t>(size.cx) * size.cy, 0);
    BITMAPINFO info = TopDownInfo(size.cx, size.cy);
    HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, bitmap, 0, static_cast<UINT>(size.cy), pixels.data(), &info,
                               DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return rows == size.cy;
}

HBITMAP MakeColourBitmap(SIZE size, const std::vector<uint32_t>& pixels) {
    BITMAPINFO info = TopDownInfo(size.cx, size.cy);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        std::copy(pixels.begin(), pixels.end(), static_cast<uint32_t*>(bits));
    }
    return bitmap;
}

HBITMAP MakeMask(SIZE size, const std::vector<bool>& transparent) {
    const int stride = ((size.cx + kMaskRowAlignBits - 1) / kMaskRowAlignBits) * 2;
    std::vector<uint8_t> bits(static_cast<size_t>(stride) * size.cy, 0);
    for (int y = 0; y < size.cy; ++y) {
        for (int x = 0; x < size.cx; ++x) {
            if (transparent[static_cast<size_t>(y) * size.cx + x]) {
                bits[static_cast<size_t>(y) * stride + x / 8] |=
                    static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
    }
    return CreateBitmap(size.cx, size.cy, 1, kMaskBits, bits.data());
}

// One-pixel frame just inside `r`.
void Frame(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FrameRect(dc, &r, brush);
    DeleteObject(brush);
}

void Fill(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

// a -> b -> c, the last point left out, as the Qt button draws it.
void Polyline3(HDC dc, const EdgeLine& line) {
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(EdgeSystemColour(line.colour)));
    HGDIOBJ old = SelectObject(dc, pen);
    const POINT points[3] = {{line.a.x, line.a.y}, {line.b.x, line.b.y}, {line.c.x, line.c.y}};
    Polyline(dc, points, 3);
    SelectObject(dc, old);
    DeleteObject(pen);
}

// A flat button's thin edge: `topLeft` along the top and left, `bottomRight` along the
// bottom and right (which overlap the corners).
void FlatEdge(HDC dc, const RECT& r, COLORREF topLeft, COLORREF bottomRight) {
    Fill(dc, RECT{r.left, r.top, r.right - 1, r.top + 1}, topLeft);
    Fill(dc, RECT{r.left, r.top, r.left + 1, r.bottom - 1}, topLeft);
    Fill(dc, RECT{r.left, r.bottom - 1, r.right, r.bottom}, bottomRight);
    Fill(dc, RECT{r.right - 1, r.top, r.right, r.bottom}, bottomRight);
}

}  // namespace

std::wstring WindowText(HWND window) {
    if (window == nullptr) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

CImageButton::~CImageButton() {
    if (m_button != nullptr) {
        RemoveWindowSubclass(m_button, ButtonProc, kSubclassId);
    }
    ReleaseImages();
}

void CImageButton::Attach(HWND button) {
    if (m_button != nullptr) {
        RemoveWindowSubclass(m_button, ButtonProc, kSubclassId);
    }
    m_button = button;
    if (m_button != nullptr) {
        SetWindowSubclass(m_button, ButtonProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
    }
}

LRESULT CALLBACK CImageButton::ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR, DWORD_PTR self) {
    switch (message) {
        case WM_LBUTTONDBLCLK:
            // The second press of a double click is a press: it yields a second BN_CLICKED.
            return DefSubclassProc(hwnd, WM_LBUTTONDOWN, wParam, lParam);
        case WM_NCDESTROY:
            // The window goes before this object: nothing is left to draw.
            RemoveWindowSubclass(hwnd, ButtonProc, kSubclassId);
            reinterpret_cast<CImageButton*>(self)->m_button = nullptr;
            break;
        default:
            break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

int CImageButton::LoadStateBitmaps(int activeId, COLORREF activeTransparent, int idleId,
                                   COLORREF idleTransparent) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    auto load = [module](int id) {
        return static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(id & kResourceIdMask),
                                               IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    };
    HBITMAP active = load(activeId);
    HBITMAP idle = idleId != 0 ? load(idleId) : nullptr;
    const int status = AttachStateBitmaps(active, activeTransparent, idle, idleTransparent);
    if (active != nullptr) {
        DeleteObject(active);
    }
    if (idle != nullptr) {
        DeleteObject(idle);
    }
    return status;
}

int CImageButton::AttachStateBitmaps(HBITMAP active, COLORREF activeTransparent, HBITMAP idle,
                                     COLORREF idleTransparent) {
    ReleaseImages();
    if (active != nullptr) {
        int status = StoreImage(kActive, active, activeTransparent);
        if (status != kAttachOk) {
            return status;
        }
        if (idle != nullptr) {
            status = StoreImage(kIdle, idle, idleTransparent);
            if (status != kAttachOk) {
                return status;
            }
        }
    }
    Repaint();
    return kAttachOk;
}

int CImageButton::StoreImage(int index, HBITMAP source, COLORREF transparent) {
    SIZE size{};
    std::vector<uint32_t> pixels;
    if (!ReadPixels(source, size, pixels)) {
        ReleaseImages();
        return kAttachNoDescription;
    }
    std::vector<bool> clear(pixels.size(), false);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (FromDib(pixels[i]) == transparent) {
            clear[i] = true;
            pixels[i] = 0;
        }
    }
    ImageRecord& record = m_images[index];
    record.bitmap = MakeColourBitmap(size, pixels);
    if (record.bitmap == nullptr) {
        ReleaseImages();
        return kAttachNoDescription;
    }
    record.mask = MakeMask(size, clear);
    if (record.mask == nullptr) {
        ReleaseImages();
        return kAttachNoMask;
    }
    record.size = size;
    return kAttachOk;
}

void CImageButton::ReleaseImages() {
    for (ImageRecord& record : m_images) {
        if (record.bitmap != nullptr) {
            DeleteObject(record.bitmap);
        }
        if (record.mask != nullptr) {
            DeleteObject(record.mask);
        }
        record = ImageRecord{};
    }
}

int CImageButton::SetFlatLook(bool flat, bool repaint) {
    m_flat = flat;
    if (repaint) {
        Repaint();
    }
    return 0;
}

void CImageButton::Repaint() {
    if (m_button != nullptr) {
        InvalidateRect(m_button, nullptr, FALSE);
    }
}

void CImageButton::DrawItem(const DRAWITEMSTRUCT& item) {
    const RECT& r = item.rcItem;
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    // Drawn off screen and copied in one piece, so the button never flickers.
    HDC memory = CreateCompatibleDC(item.hDC);
    HBITMAP canvas = CreateCompatibleBitmap(item.hDC, width, height);
    HGDIOBJ oldCanvas = SelectObject(memory, canvas);
    Draw(memory, RECT{0, 0, width, height}, (item.itemState & ODS_SELECTED) != 0,
         (item.itemState & ODS_FOCUS) != 0, (item.itemState & ODS_DISABLED) != 0);
    BitBlt(item.hDC, r.left, r.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, oldCanvas);
    DeleteObject(canvas);
    DeleteDC(memory);
}

std::vector<uint32_t> CImageButton::Render(int width, int height, bool selected, bool focus,
                                           bool disabled, COLORREF background) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, 0);
    BITMAPINFO info = TopDownInfo(width, height);
    void* bits = nullptr;
    HBITMAP canvas = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (canvas == nullptr) {
        return pixels;
    }
    HDC memory = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(memory, canvas);
    Fill(memory, RECT{0, 0, width, height}, background);
    Draw(memory, RECT{0, 0, width, height}, selected, focus, disabled);
    GdiFlush();
    const auto* drawn = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = drawn[i] & 0x00FFFFFF;
    }
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(canvas);
    return pixels;
}

void CImageButton::Draw(HDC dc, const RECT& rect, bool selected, bool focus, bool disabled) {
    const std::wstring caption = WindowText(m_button);
    const LONG_PTR style = m_button != nullptr ? GetWindowLongPtrW(m_button, GWL_STYLE) : 0;
    ButtonState state;
    state.item = ToPixels(rect);
    state.selected = selected;
    state.focus = focus;
    state.disabled = disabled;
    state.flat = m_flat;
    state.hovering = m_hovering;
    state.isDefault = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    state.hasCaption = !caption.empty();
    state.activeWidth = m_images[kActive].size.cx;
    state.activeHeight = m_images[kActive].size.cy;
    state.idleWidth = m_images[kIdle].size.cx;
    state.idleHeight = m_images[kIdle].size.cy;
    const ButtonPlan plan = PlanButton(state);

    if (plan.blackFrame) {
        Frame(dc, rect, kBlack);
    }
    const RECT face = ToRect(plan.face);
    Fill(dc, face, GetSysColor(COLOR_BTNFACE));
    switch (plan.edge) {
        case ButtonEdge::None:
            break;
        case ButtonEdge::FlatRaised:
            FlatEdge(dc, face, GetSysColor(COLOR_3DHILIGHT), GetSysColor(COLOR_3DSHADOW));
            break;
        case ButtonEdge::FlatSunken:
            FlatEdge(dc, face, GetSysColor(COLOR_3DSHADOW), GetSysColor(COLOR_3DHILIGHT));
            break;
        case ButtonEdge::PressedFrame:
            Frame(dc, face, GetSysColor(COLOR_3DSHADOW));
            break;
        case ButtonEdge::Raised:
            for (const EdgeLine& line : plan.raised) {
                Polyline3(dc, line);
            }
            break;
    }

    if (plan.hasImage) {
        PaintStateBitmap(dc, plan, disabled);
    }

    if (!caption.empty()) {
        HFONT font = m_button != nullptr
                         ? reinterpret_cast<HFONT>(SendMessageW(m_button, WM_GETFONT, 0, 0))
                         : nullptr;
        HGDIOBJ oldFont = font != nullptr ? SelectObject(dc, font) : nullptr;
        RECT measured = ToRect(plan.captionArea);
        DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &measured,
                  DT_LEFT | DT_TOP | DT_WORDBREAK | DT_CALCRECT);
        RECT place = ToRect(PlaceCaption(plan.captionArea, measured.right - measured.left,
                                         measured.bottom - measured.top));
        const UINT flags = DT_CENTER | DT_TOP | DT_WORDBREAK;
        SetBkMode(dc, TRANSPARENT);
        if (plan.embossed) {
            RECT shifted = place;
            OffsetRect(&shifted, 1, 1);
            SetTextColor(dc, GetSysColor(COLOR_3DHILIGHT));
            DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &shifted, flags);
            SetTextColor(dc, GetSysColor(COLOR_3DSHADOW));
        } else {
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        }
        DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &place, flags);
        if (oldFont != nullptr) {
            SelectObject(dc, oldFont);
        }
    }

    if (plan.focusRect) {
        const RECT focusRect = ToRect(plan.focus);
        // The dotted mark inverts what lies under it; it needs black text on white to do so.
        SetTextColor(dc, kBlack);
        SetBkColor(dc, kWhite);
        DrawFocusRect(dc, &focusRect);
    }
}

void CImageButton::PaintStateBitmap(HDC dc, const ButtonPlan& plan, bool disabled) {
    const ImageRecord& record = m_images[plan.idleImage ? kIdle : kActive];
    const int width = record.size.cx;
    const int height = record.size.cy;
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, record.mask);
    // Mono to colour: 0 bits take the text colour, 1 bits the background colour.
    const COLORREF oldText = SetTextColor(dc, kBlack);
    const COLORREF oldBack = SetBkColor(dc, kWhite);
    if (disabled) {
        // The picture on white (opaque pixels keep their colours), then every pixel that is
        // not white is ink: in the highlight colour one pixel right and down, then in the
        // shadow colour.
        HDC scratch = CreateCompatibleDC(dc);
        BITMAPINFO info = TopDownInfo(width, height);
        void* bits = nullptr;
        HBITMAP picture = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ oldPicture = SelectObject(scratch, picture);
        SetTextColor(scratch, kBlack);
        SetBkColor(scratch, kWhite);
        Fill(scratch, RECT{0, 0, width, height}, kWhite);
        BitBlt(scratch, 0, 0, width, height, source, 0, 0, SRCAND);
        SelectObject(source, record.bitmap);
        BitBlt(scratch, 0, 0, width, height, source, 0, 0, SRCPAINT);
        GdiFlush();
        const auto* ink = static_cast<const uint32_t*>(bits);
        const COLORREF light = GetSysColor(COLOR_3DHILIGHT);
        const COLORREF shadow = GetSysColor(COLOR_3DSHADOW);
        for (const auto& [colour, offset] : {std::pair{light, 1}, std::pair{shadow, 0}}) {
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    if ((ink[static_cast<size_t>(y) * width + x] & 0x00FFFFFF) != 0x00FFFFFF) {
                        SetPixelV(dc, plan.image.x + x + offset, plan.image.y + y + offset, colour);
                    }
                }
            }
        }
        SelectObject(scratch, oldPicture);
        DeleteObject(picture);
        DeleteDC(scratch);
    } else {
        // The mask clears the face where the picture is opaque and leaves it where it is
        // transparent; the picture, black where transparent, is then ORed in.
        BitBlt(dc, plan.image.x, plan.image.y, width, height, source, 0, 0, SRCAND);
        SelectObject(source, record.bitmap);
        BitBlt(dc, plan.image.x, plan.image.y, width, height, source, 0, 0, SRCPAINT);
    }
    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBack);
    SelectObject(source, old);
    DeleteDC(source);
}

}  // namespace tarvik
