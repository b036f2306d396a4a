// CImageButton on Windows: the owner-drawn push button (BS_OWNERDRAW) that shows a state
// bitmap left of its caption; the window's port Open/Close button is one, with a dark lamp
// while the port is closed and a lit lamp while it is open.
//
// What goes where is decided by PlanButton (button_plan.h), as for the Qt button; this class
// draws the plan with GDI in the system colours: face COLOR_BTNFACE, caption COLOR_BTNTEXT,
// edges COLOR_3DHILIGHT, COLOR_3DLIGHT, COLOR_3DSHADOW and COLOR_3DDKSHADOW.
//
// Everything runs on the window's thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "controls/button_plan.h"

namespace tarvik {

// The text of `window` (a control's caption); empty for none.
std::wstring WindowText(HWND window);

class CImageButton {
public:
    // Results of AttachStateBitmaps.
    static constexpr int kAttachOk = 0;
    static constexpr int kAttachNoDescription = 1;  // a bitmap could not be read
    static constexpr int kAttachNoMask = 2;         // its mask could not be made

    CImageButton() = default;
    ~CImageButton();
    CImageButton(const CImageButton&) = delete;
    CImageButton& operator=(const CImageButton&) = delete;

    // The button control this object draws (its parent sends WM_DRAWITEM to DrawItem). The
    // control is subclassed so that a double click presses it a second time, as on every
    // push button: an owner-drawn button would otherwise only send BN_DOUBLECLICKED, which
    // the window does not act on, and the second click of a double click would be lost.
    void Attach(HWND button);
    HWND Handle() const { return m_button; }

    // Loads bitmap resources `activeId` and, unless 0, `idleId` (low 16 bits of each) from
    // the program's resources and attaches them. A missing resource gives no bitmap.
    int LoadStateBitmaps(int activeId, COLORREF activeTransparent, int idleId,
                         COLORREF idleTransparent);
    // Takes copies of the bitmaps (null: none), builds their masks once and repaints. Pixels
    // of the transparent colour show the face; they are blackened in the stored copy.
    int AttachStateBitmaps(HBITMAP active, COLORREF activeTransparent, HBITMAP idle,
                           COLORREF idleTransparent);
    int SetFlatLook(bool flat, bool repaint);

    // WM_DRAWITEM of the attached button.
    void DrawItem(const DRAWITEMSTRUCT& item);
    // Paints the whole button for this state into `dc` at `rect` (the button's font and
    // caption), as DrawItem does.
    void Draw(HDC dc, const RECT& rect, bool selected, bool focus, bool disabled);
    // Draw into a 32-bit picture of `width` x `height` pixels, rows from the top, each pixel
    // 0x00RRGGBB; the picture starts filled with `background`.
    std::vector<uint32_t> Render(int width, int height, bool selected, bool focus, bool disabled,
                                 COLORREF background);

    bool IsFlat() const { return m_flat; }
    // The stored bitmaps' sizes (0 x 0 when absent).
    SIZE ActiveSize() const { return m_images[kActive].size; }
    SIZE IdleSize() const { return m_images[kIdle].size; }

private:
    struct ImageRecord {
        HBITMAP bitmap = nullptr;  // 32-bit; transparent pixels blackened
        HBITMAP mask = nullptr;    // 1 bit: 1 (white) where the bitmap was transparent
        SIZE size{0, 0};
    };
    static constexpr int kActive = 0;
    static constexpr int kIdle = 1;

    static LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
    int StoreImage(int index, HBITMAP bitmap, COLORREF transparent);
    void ReleaseImages();
    void PaintStateBitmap(HDC dc, const ButtonPlan& plan, bool disabled);
    void Repaint();

    HWND m_button = nullptr;
    bool m_flat = true;
    bool m_hovering = false;
    ImageRecord m_images[2];
};

}  // namespace tarvik
