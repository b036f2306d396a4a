// CImageButton: a push button that paints itself: a state bitmap left of the caption, its
// own face, edge, caption and focus mark. The window's port Open/Close button is one; it
// shows a dark lamp while the port is closed and a lit lamp while it is open.
//
// The system colours the drawing uses come from the button's palette:
//   button face -> QPalette::Button       button text  -> QPalette::ButtonText
//   highlight   -> QPalette::Light        3-D light    -> QPalette::Midlight
//   shadow      -> QPalette::Dark         3-D dark     -> QPalette::Shadow
// Face and caption colours are taken once (ResetStateColors); the edges and the disabled
// caption read the palette at every paint.
//
// Everything runs on the user-interface thread.
#pragma once

#include <QImage>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QtGlobal>

#include "controls/button_plan.h"

class QPainter;

namespace tarvik {

// The resource path of bitmap `id` (":/bitmap/<id>.bmp"), as the resource file names them.
QString BitmapResourcePath(int id);

class CImageButton : public QPushButton {
    Q_OBJECT
public:
    // Results of AttachStateBitmaps.
    static constexpr int kAttachOk = 0;
    static constexpr int kAttachNoDescription = 1;  // a bitmap could not be read
    static constexpr int kAttachNoMask = 2;         // its mask could not be made

    // One paint's view of the button, as the owner-draw record carries it.
    struct ItemState {
        QRect rect;  // the whole button, in the painter's coordinates
        bool selected = false;
        bool focus = false;
        bool disabled = false;
    };

    // A toggle button keeps a checked state that each click flips; the decision is made
    // once, here.
    explicit CImageButton(QWidget* parent = nullptr, bool toggleMode = false);
    ~CImageButton() override;

    // Loads bitmap resources `activeId` and, unless 0, `idleId` (low 16 bits of each) and
    // attaches them. A missing resource gives no bitmap, not an error.
    int LoadStateBitmaps(int activeId, QRgb activeTransparent, int idleId, QRgb idleTransparent);
    // Takes the bitmaps (a null image is none), builds their masks once and repaints.
    // Pixels of the transparent colour show the face; they are blackened in the stored copy.
    int AttachStateBitmaps(const QImage& active, QRgb activeTransparent, const QImage& idle,
                           QRgb idleTransparent);
    int SetFlatLook(bool flat, bool repaint);
    int SetToggleState(bool checked, bool repaint);
    int GetToggleState() const { return m_checked ? 1 : 0; }
    int ResetStateColors(bool repaint);

    // Paints the whole button for `item` (the painter should draw on a raster image: the
    // transparency mask goes through raster operations).
    virtual void DrawItem(QPainter& dc, const ItemState& item);
    // DrawItem into an image of the button's size for the given state.
    QImage Render(bool selected, bool focus, bool disabled);

    bool IsFlat() const { return m_flat; }
    bool IsHovering() const { return m_hovering; }
    bool IsToggleMode() const { return m_toggleMode; }
    // The stored active and idle bitmaps and their masks (null when absent).
    const QImage& ActiveImage() const { return m_images[kActive].bitmap; }
    const QImage& ActiveMask() const { return m_images[kActive].mask; }
    const QImage& IdleImage() const { return m_images[kIdle].bitmap; }

protected:
    virtual int PaintFace(QPainter& dc, const QRect& rect);
    virtual int PaintFlatEdge(QPainter& dc, const QRect& rect);

    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct ImageRecord {
        QImage bitmap;  // RGB32; transparent pixels blackened
        QImage mask;    // Mono: 1 (white) where the bitmap was transparent
        QRgb transparent = 0;
    };
    static constexpr int kActive = 0;
    static constexpr int kIdle = 1;

    void OnClicked();
    void ClearHover();
    void ReleaseImages();
    int StoreImage(int index, const QImage& bitmap, QRgb transparent);
    static QImage BuildTransparencyMask(QImage& bitmap, QRgb transparent);
    void PaintStateBitmap(QPainter& dc, const ButtonPlan& plan, bool disabled);
    void MoveFocusOnDisable();

    bool m_greyWhenDisabled = true;
    bool m_flat = true;
    bool m_hovering = false;
    bool m_pressed = false;
    bool m_focused = false;
    bool m_disabled = false;
    bool m_toggleMode = false;
    // Background and text colours of the three looks: active (pressed or hovering), idle,
    // focused.
    QColor m_activeBack, m_activeText, m_idleBack, m_idleText, m_focusBack, m_focusText;
    bool m_alwaysTrack = true;
    bool m_checked = false;
    ImageRecord m_images[2];
};

}  // namespace tarvik
