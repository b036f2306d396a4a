// The Windows lamp button drawn with GDI into a bitmap: where the lamp and the caption land,
// the one-pixel shift when pressed, the transparent green, the frame and focus mark, and the
// embossed disabled caption.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "controls/image_button_win32.h"
#include "res/resource.h"

namespace tarvik {

namespace {

constexpr int kWidth = 134;  // about the window's 67 x 14 dialog units
constexpr int kHeight = 40;
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBackground = RGB(1, 2, 3);  // no part of the button paints this
constexpr COLORREF kLampRed = RGB(255, 0, 0);
constexpr COLORREF kLampBlack = RGB(0, 0, 0);
constexpr POINT kLampCentre{32, 12};  // in both bitmaps
constexpr int kBitmapHeight = 25;
constexpr int kImageLeft = 3;
constexpr int kLampOffWidth = 63;
constexpr int kLampOnWidth = 47;
constexpr int kFontPoints = 12;
constexpr int kEdge = 2;  // the raised edge's width

struct Picture {
    std::vector<uint32_t> pixels;
    COLORREF At(int x, int y) const {
        const uint32_t p = pixels[static_cast<size_t>(y) * kWidth + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// Inside the two-pixel edge, from column `left` on: where the caption may be.
RECT CaptionArea(int left) {
    return RECT{left, kEdge, kWidth - kEdge, kHeight - kEdge};
}

// The bounding box of the pixels within `area` that `ink` picks.
template <class Ink>
std::optional<RECT> BoxOf(const Picture& picture, const RECT& area, Ink ink) {
    std::optional<RECT> box;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            if (ink(picture.At(x, y))) {
                if (!box) {
                    box = RECT{x, y, x + 1, y + 1};
                }
                box->left = std::min<LONG>(box->left, x);
                box->top = std::min<LONG>(box->top, y);
                box->right = std::max<LONG>(box->right, x + 1);
                box->bottom = std::max<LONG>(box->bottom, y + 1);
            }
        }
    }
    return box;
}

// Caption pixels: anything but the face.
std::optional<RECT> InkBox(const Picture& picture, const RECT& area) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    return BoxOf(picture, area, [face](COLORREF c) { return c != face; });
}

// Counts, in the int at `count`, the BN_CLICKED notifications a parent is sent.
LRESULT CALLBACK CountClicks(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR count) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        ++*reinterpret_cast<int*>(count);
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

class ImageButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr,
                                   nullptr, nullptr);
        m_control = CreateWindowExW(0, L"BUTTON", L"打开", WS_CHILD | BS_OWNERDRAW, 0, 0, kWidth,
                                    kHeight, m_parent, nullptr, nullptr, nullptr);
        HDC screen = GetDC(nullptr);
        const int height = -MulDiv(kFontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
        ReleaseDC(nullptr, screen);
        m_font = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, 0, 0,
                             0, 0, L"宋体");
        SendMessageW(m_control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        m_button.Attach(m_control);
        m_button.SetFlatLook(false, false);
    }
    void TearDown() override {
        DestroyWindow(m_parent);
        DeleteObject(m_font);
    }
    Picture Render(int bitmapId, bool selected, bool focus = false, bool disabled = false) {
        EXPECT_EQ(m_button.LoadStateBitmaps(bitmapId, kGreen, 0, 0), CImageButton::kAttachOk);
        return Picture{m_button.Render(kWidth, kHeight, selected, focus, disabled, kBackground)};
    }

    HWND m_parent = nullptr;
    HWND m_control = nullptr;
    HFONT m_font = nullptr;
    CImageButton m_button;
};

TEST_F(ImageButtonTest, TheLampSitsAtTheLeftAndMovesOnePixelWhenPressed) {
    const struct {
        int id;
        int width;
        COLORREF centre;
    } cases[] = {{res::kLampOffBitmap, kLampOffWidth, kLampBlack},
                 {res::kLampOnBitmap, kLampOnWidth, kLampRed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const int top = (kHeight - kBitmapHeight) / 2;
        for (const int shift : {0, 1}) {
            const Picture picture = Render(c.id, shift == 1);
            const int x = kImageLeft + kLampCentre.x + shift;
            const int y = top + kLampCentre.y + shift;
            EXPECT_EQ(picture.At(x, y), c.centre) << "shift " << shift;
            // The lamp's black ring around it.
            EXPECT_EQ(picture.At(x + 7, y), kLampBlack);
            EXPECT_EQ(picture.At(x - 7, y), kLampBlack);
            // Its transparent green shows the face, never itself.
            for (const uint32_t pixel : picture.pixels) {
                ASSERT_NE(pixel & 0xFFFFFF, 0x00FF00u);
            }
        }
    }
}

TEST_F(ImageButtonTest, TheCaptionIsCentredRightOfTheLampWithMoreRoomBesideTheLitOne) {
    int centres[2] = {};
    int i = 0;
    for (const auto& [id, width] : {std::pair{res::kLampOffBitmap, kLampOffWidth},
                                    std::pair{res::kLampOnBitmap, kLampOnWidth}}) {
        SCOPED_TRACE(id);
        const int areaLeft = kImageLeft + width + kImageLeft;
        const std::optional<RECT> ink = InkBox(Render(id, false), CaptionArea(areaLeft));
        ASSERT_TRUE(ink.has_value());
        EXPECT_GE(ink->left, areaLeft);
        centres[i] = (ink->left + ink->right) / 2;
        // Centred in its area within a pixel or two of the glyphs' own side bearings.
        EXPECT_NEAR(centres[i], (areaLeft + kWidth) / 2, 3);
        ++i;
    }
    EXPECT_EQ(centres[0] - centres[1], (kLampOffWidth - kLampOnWidth) / 2);
}

TEST_F(ImageButtonTest, TheFrameTellsFocusAndPressAndADisabledCaptionIsEmbossed) {
    const Picture rest = Render(res::kLampOffBitmap, false);
    EXPECT_EQ(rest.At(0, 0), GetSysColor(COLOR_3DHILIGHT));
    EXPECT_EQ(rest.At(kWidth - 1, kHeight - 1), GetSysColor(COLOR_3DDKSHADOW));

    const Picture focused = Render(res::kLampOffBitmap, false, true);
    EXPECT_EQ(focused.At(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(focused.At(kWidth - 1, kHeight / 2), RGB(0, 0, 0));

    const Picture pressed = Render(res::kLampOffBitmap, true);
    EXPECT_EQ(pressed.At(0, 0), GetSysColor(COLOR_3DSHADOW));
    EXPECT_EQ(pressed.At(1, 1), GetSysColor(COLOR_BTNFACE));

    // Disabled, the caption is drawn in the highlight colour one pixel right and down, then
    // in the shadow colour where it stands when enabled; the text colour is not used.
    const int areaLeft = kImageLeft + kLampOffWidth + kImageLeft;
    const RECT area = CaptionArea(areaLeft);
    const std::optional<RECT> enabled = InkBox(rest, area);
    const Picture disabled = Render(res::kLampOffBitmap, false, false, true);
    const std::optional<RECT> embossed = InkBox(disabled, area);
    ASSERT_TRUE(enabled.has_value());
    ASSERT_TRUE(embossed.has_value());
    EXPECT_EQ(embossed->left, enabled->left);
    EXPECT_EQ(embossed->top, enabled->top);
    EXPECT_EQ(embossed->right, enabled->right + 1);
    EXPECT_EQ(embossed->bottom, enabled->bottom + 1);
    const COLORREF text = GetSysColor(COLOR_BTNTEXT);
    EXPECT_FALSE(BoxOf(disabled, area, [text](COLORREF c) { return c == text; }).has_value());
    const COLORREF shadow = GetSysColor(COLOR_3DSHADOW);
    EXPECT_TRUE(BoxOf(disabled, area, [shadow](COLORREF c) { return c == shadow; }).has_value());
}

// What the system delivers for a double click: a press and its release, then a double-click
// press and its release. On the Open/Close button the second click must act again (a port
// just opened is closed again), so both are clicks.
TEST_F(ImageButtonTest, ADoubleClickClicksTwice) {
    constexpr UINT_PTR kCounter = 1;
    int clicks = 0;
    SetWindowSubclass(m_parent, CountClicks, kCounter, reinterpret_cast<DWORD_PTR>(&clicks));
    const LPARAM inside = MAKELPARAM(kWidth / 2, kHeight / 2);
    for (const UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}) {
        const WPARAM keys = message == WM_LBUTTONUP ? 0 : MK_LBUTTON;
        SendMessageW(m_control, message, keys, inside);
    }
    RemoveWindowSubclass(m_parent, CountClicks, kCounter);
    EXPECT_EQ(clicks, 2);
}

}  // namespace

}  // namespace tarvik
