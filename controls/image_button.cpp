#include "controls/image_button.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace tarvik {

namespace {

// Gap between the button's left edge and the bitmap, and between the bitmap and the
// caption area, in pixels.
constexpr int kImageMargin = 3;
// The focus rectangle lies this far inside the face.
constexpr int kFocusInset = 3;
// A pressed button shows its bitmap and caption this far right and down.
constexpr int kPressedOffset = 1;
constexpr int kResourceIdMask = 0xFFFF;

constexpr QRgb kWhite = qRgb(255, 255, 255);
constexpr QRgb kBlack = qRgb(0, 0, 0);
constexpr int kMaskOpaque = 0;       // mask index: a pixel of the picture
constexpr int kMaskTransparent = 1;  // mask index: the face shows through

bool SameColour(QRgb a, QRgb b) {
    return (a & RGB_MASK) == (b & RGB_MASK);
}

// Fills the axis-aligned pixel run from `a` towards `b`, `b` itself excluded: one segment
// of a polyline whose end points are left to the next segment.
void Segment(QPainter& dc, QPoint a, QPoint b, const QColor& colour) {
    if (a == b) {
        return;
    }
    QPoint last = b;
    if (a.x() == b.x()) {
        last.ry() += (b.y() > a.y()) ? -1 : 1;
    } else {
        last.rx() += (b.x() > a.x()) ? -1 : 1;
    }
    // Both corners inclusive; QRect::normalized() would shift a reversed run by a pixel.
    const QPoint topLeft(std::min(a.x(), last.x()), std::min(a.y(), last.y()));
    const QPoint bottomRight(std::max(a.x(), last.x()), std::max(a.y(), last.y()));
    dc.fillRect(QRect(topLeft, bottomRight), colour);
}

void Polyline(QPainter& dc, QPoint a, QPoint b, QPoint c, const QColor& colour) {
    Segment(dc, a, b, colour);
    Segment(dc, b, c, colour);
}

// A one-pixel frame just inside `r`.
void FrameRect(QPainter& dc, const QRect& r, const QColor& colour) {
    if (r.width() <= 0 || r.height() <= 0) {
        return;
    }
    dc.fillRect(QRect(r.left(), r.top(), r.width(), 1), colour);
    dc.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), colour);
    dc.fillRect(QRect(r.left(), r.top(), 1, r.height()), colour);
    dc.fillRect(QRect(r.right(), r.top(), 1, r.height()), colour);
}

// The dotted focus mark: every other pixel of the frame inverted, so drawing it twice
// takes it away again.
void DrawFocusRect(QPainter& dc, const QRect& r) {
    if (r.width() <= 0 || r.height() <= 0) {
        return;
    }
    dc.save();
    dc.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    auto dot = [&](int x, int y) {
        if (((x + y) & 1) == 0) {
            dc.fillRect(QRect(x, y, 1, 1), QColor(kWhite));
        }
    };
    for (int x = r.left(); x <= r.right(); ++x) {
        dot(x, r.top());
        if (r.bottom() != r.top()) {
            dot(x, r.bottom());
        }
    }
    for (int y = r.top() + 1; y < r.bottom(); ++y) {
        dot(r.left(), y);
        if (r.right() != r.left()) {
            dot(r.right(), y);
        }
    }
    dc.restore();
}

// The disabled look of a picture: every pixel that is not white is ink; the ink is drawn
// once in the highlight colour one pixel right and down, then in the shadow colour.
void DrawDisabledImage(QPainter& dc, const QImage& picture, QPoint at, const QPalette& palette) {
    QImage ink(picture.size(), QImage::Format_ARGB32);
    auto paintInk = [&](const QColor& colour, QPoint where) {
        ink.fill(Qt::transparent);
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                if (!SameColour(picture.pixel(x, y), kWhite)) {
                    ink.setPixel(x, y, colour.rgb());
                }
            }
        }
        dc.drawImage(where, ink);
    };
    paintInk(palette.color(QPalette::Light), at + QPoint(1, 1));
    paintInk(palette.color(QPalette::Dark), at);
}

}  // namespace

QString BitmapResourcePath(int id) {
    return QStringLiteral(":/bitmap/%1.bmp").arg(id);
}

CImageButton::CImageButton(QWidget* parent, bool toggleMode)
    : QPushButton(parent), m_toggleMode(toggleMode) {
    ResetStateColors(false);
    // Connected before anyone else, so the button's own click handling runs before the
    // window's handler, as a reflected notification does.
    connect(this, &QPushButton::clicked, this, &CImageButton::OnClicked);
}

CImageButton::~CImageButton() {
    ReleaseImages();
}

int CImageButton::LoadStateBitmaps(int activeId, QRgb activeTransparent, int idleId,
                                   QRgb idleTransparent) {
    const QImage active(BitmapResourcePath(activeId & kResourceIdMask));
    QImage idle;
    if (idleId != 0) {
        idle = QImage(BitmapResourcePath(idleId & kResourceIdMask));
    }
    return AttachStateBitmaps(active, activeTransparent, idle, idleTransparent);
}

int CImageButton::AttachStateBitmaps(const QImage& active, QRgb activeTransparent,
                                     const QImage& idle, QRgb idleTransparent) {
    ReleaseImages();
    if (!active.isNull()) {
        int status = StoreImage(kActive, active, activeTransparent);
        if (status != kAttachOk) {
            return status;
        }
        if (!idle.isNull()) {
            status = StoreImage(kIdle, idle, idleTransparent);
            if (status != kAttachOk) {
                return status;
            }
        }
    }
    update();
    return kAttachOk;
}

int CImageButton::StoreImage(int index, const QImage& bitmap, QRgb transparent) {
    ImageRecord& record = m_images[index];
    record.transparent = transparent;
    record.bitmap = bitmap.convertToFormat(QImage::Format_RGB32);
    if (record.bitmap.isNull()) {
        ReleaseImages();
        return kAttachNoDescription;
    }
    record.mask = BuildTransparencyMask(record.bitmap, transparent);
    if (record.mask.isNull()) {
        ReleaseImages();
        return kAttachNoMask;
    }
    return kAttachOk;
}

QImage CImageButton::BuildTransparencyMask(QImage& bitmap, QRgb transparent) {
    QImage mask(bitmap.size(), QImage::Format_Mono);
    if (mask.isNull()) {
        return mask;
    }
    mask.setColorCount(2);
    mask.setColor(kMaskOpaque, kBlack);
    mask.setColor(kMaskTransparent, kWhite);
    for (int y = 0; y < bitmap.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(bitmap.scanLine(y));
        for (int x = 0; x < bitmap.width(); ++x) {
            if (SameColour(row[x], transparent)) {
                mask.setPixel(x, y, kMaskTransparent);
                row[x] = kBlack;
            } else {
                mask.setPixel(x, y, kMaskOpaque);
            }
        }
    }
    return mask;
}

void CImageButton::ReleaseImages() {
    for (ImageRecord& record : m_images) {
        record = ImageRecord{};
    }
}

int CImageButton::SetFlatLook(bool flat, bool repaint) {
    m_flat = flat;
    setMouseTracking(flat);
    if (repaint) {
        update();
    }
    return 0;
}

int CImageButton::SetToggleState(bool checked, bool repaint) {
    if (m_toggleMode) {
        m_checked = checked;
        if (repaint) {
            update();
        }
    }
    return 0;
}

int CImageButton::ResetStateColors(bool repaint) {
    const QColor face = palette().color(QPalette::Button);
    const QColor text = palette().color(QPalette::ButtonText);
    m_activeBack = m_idleBack = m_focusBack = face;
    m_activeText = m_idleText = m_focusText = text;
    if (repaint) {
        update();
    }
    return 0;
}

void CImageButton::OnClicked() {
    setFocus(Qt::MouseFocusReason);
    if (m_toggleMode) {
        m_checked = !m_checked;
        update();
    }
}

void CImageButton::ClearHover() {
    if (m_flat && m_hovering) {
        m_hovering = false;
        update();
    }
}

QImage CImageButton::Render(bool selected, bool focus, bool disabled) {
    QImage canvas(size(), QImage::Format_RGB32);
    canvas.fill(palette().color(QPalette::Window));
    QPainter dc(&canvas);
    DrawItem(dc, ItemState{canvas.rect(), selected, focus, disabled});
    return canvas;
}

void CImageButton::paintEvent(QPaintEvent*) {
    const bool selected = isDown();
    const QImage canvas = Render(selected, hasFocus(), !isEnabled());
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), canvas);
}

void CImageButton::DrawItem(QPainter& dc, const ItemState& item) {
    m_pressed = item.selected || (m_toggleMode && m_checked);
    m_focused = item.focus;
    m_disabled = item.disabled;

    QRect r = item.rect;
    if (!m_flat && (m_focused || isDefault())) {
        FrameRect(dc, r, QColor(kBlack));
        r.adjust(1, 1, -1, -1);
    }
    PaintFace(dc, r);

    // The edge, with the rectangle as (L, T, R, B), right and bottom exclusive.
    const int L = r.left();
    const int T = r.top();
    const int R = r.left() + r.width();
    const int B = r.top() + r.height();
    const QPalette& pal = palette();
    if (m_pressed) {
        if (m_flat) {
            PaintFlatEdge(dc, r);
        } else {
            FrameRect(dc, r, pal.color(QPalette::Dark));
        }
    } else if (m_flat) {
        if (m_hovering) {
            PaintFlatEdge(dc, r);
        }
    } else {
        Polyline(dc, {L, B - 1}, {L, T}, {R, T}, pal.color(QPalette::Light));
        Polyline(dc, {L + 1, B - 1}, {L + 1, T + 1}, {R, T + 1}, pal.color(QPalette::Midlight));
        Polyline(dc, {L, B - 1}, {R - 1, B - 1}, {R - 1, T - 1}, pal.color(QPalette::Shadow));
        Polyline(dc, {L + 1, B - 2}, {R - 2, B - 2}, {R - 2, T}, pal.color(QPalette::Dark));
    }

    const QString caption = text();
    QRect captionRect = item.rect;
    if (!m_images[kActive].bitmap.isNull()) {
        PaintStateBitmap(dc, !caption.isEmpty(), item.rect, captionRect, m_pressed, m_disabled);
    }

    if (!caption.isEmpty()) {
        if (m_pressed && !m_toggleMode) {
            captionRect.translate(kPressedOffset, kPressedOffset);
        }
        const QRect area = captionRect;
        const QFontMetrics metrics(font());
        const QRect measured =
            metrics.boundingRect(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, caption);
        QRect place(area.topLeft(), measured.size());
        place.translate((area.width() - place.width()) / 2, (area.height() - place.height()) / 2);

        const int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
        dc.setFont(font());
        if (m_disabled) {
            dc.setPen(pal.color(QPalette::Light));
            dc.drawText(place.translated(1, 1), flags, caption);
            dc.setPen(pal.color(QPalette::Dark));
            dc.drawText(place, flags, caption);
        } else {
            dc.setPen((m_hovering || m_pressed) ? m_activeText : m_idleText);
            dc.drawText(place, flags, caption);
        }
    }

    if (!m_flat && m_focused) {
        DrawFocusRect(dc, r.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset));
    }
}

int CImageButton::PaintFace(QPainter& dc, const QRect& rect) {
    QColor colour = m_idleBack;
    if (m_hovering || m_pressed) {
        colour = m_activeBack;
    } else if (m_focused) {
        colour = m_focusBack;
    }
    dc.fillRect(rect, colour);
    return 0;
}

int CImageButton::PaintFlatEdge(QPainter& dc, const QRect& rect) {
    const QColor light = palette().color(QPalette::Light);
    const QColor shadow = palette().color(QPalette::Dark);
    const QColor& topLeft = m_pressed ? shadow : light;
    const QColor& bottomRight = m_pressed ? light : shadow;
    dc.fillRect(QRect(rect.left(), rect.top(), rect.width() - 1, 1), topLeft);
    dc.fillRect(QRect(rect.left(), rect.top(), 1, rect.height() - 1), topLeft);
    dc.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), bottomRight);
    dc.fillRect(QRect(rect.right(), rect.top(), 1, rect.height()), bottomRight);
    return 0;
}

QRect CImageButton::LayoutImageAndCaption(bool hasCaption, const QRect& item, QRect& caption,
                                          bool pressed, int width, int height) const {
    QPoint at = item.topLeft();
    if (hasCaption) {
        at.rx() += kImageMargin;
        caption.setLeft(caption.left() + width + kImageMargin);
    } else {
        at.rx() += (item.width() - width) / 2;
    }
    at.ry() += (item.height() - height) / 2;
    if (pressed && !m_toggleMode) {
        at += QPoint(kPressedOffset, kPressedOffset);
    }
    return QRect(at, QSize(width, height));
}

void CImageButton::PaintStateBitmap(QPainter& dc, bool hasCaption, const QRect& item,
                                    QRect& caption, bool pressed, bool disabled) {
    int index = kActive;
    const bool useActive = m_toggleMode ? pressed : (pressed || m_hovering);
    if (!useActive && !m_images[kIdle].bitmap.isNull()) {
        index = kIdle;
    }
    const ImageRecord& record = m_images[index];
    const QRect place = LayoutImageAndCaption(hasCaption, item, caption, pressed,
                                              record.bitmap.width(), record.bitmap.height());

    dc.save();
    if (disabled && m_greyWhenDisabled) {
        // The picture on white: opaque pixels keep their colours, transparent ones are white.
        QImage scratch(record.bitmap.size(), QImage::Format_RGB32);
        scratch.fill(kWhite);
        {
            QPainter scratchDc(&scratch);
            scratchDc.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
            scratchDc.drawImage(QPoint(0, 0), record.mask);
            scratchDc.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
            scratchDc.drawImage(QPoint(0, 0), record.bitmap);
        }
        DrawDisabledImage(dc, scratch, place.topLeft(), palette());
    } else {
        // The mask clears the face where the picture is opaque and leaves it where it is
        // transparent; the picture, black where transparent, is then ORed in.
        dc.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
        dc.drawImage(place.topLeft(), record.mask);
        dc.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
        dc.drawImage(place.topLeft(), record.bitmap);
    }
    dc.restore();
}

void CImageButton::enterEvent(QEnterEvent* event) {
    QPushButton::enterEvent(event);
    // Dragging onto the button with the left button held does not start a hover; only a
    // flat button hovers at all.
    if ((event->buttons() & Qt::LeftButton) && !m_hovering) {
        return;
    }
    if (!m_flat) {
        return;
    }
    if (!m_hovering && (m_alwaysTrack || isActiveWindow())) {
        m_hovering = true;
        update();
    }
}

void CImageButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    ClearHover();
}

void CImageButton::focusOutEvent(QFocusEvent* event) {
    QPushButton::focusOutEvent(event);
    ClearHover();
}

void CImageButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    switch (event->type()) {
        case QEvent::ActivationChange:
            if (!isActiveWindow()) {
                ClearHover();
            }
            break;
        case QEvent::EnabledChange:
            if (!isEnabled()) {
                MoveFocusOnDisable();
                ClearHover();
            }
            break;
        default:
            break;
    }
}

void CImageButton::MoveFocusOnDisable() {
    // A button being disabled hands the keyboard focus to the next tab stop after it, or to
    // its parent when there is none, wherever the focus was.
    QWidget* owner = parentWidget();
    if (owner == nullptr) {
        return;
    }
    for (QWidget* next = nextInFocusChain(); next != nullptr && next != this;
         next = next->nextInFocusChain()) {
        if (next != owner && owner->isAncestorOf(next) && next->isEnabled() &&
            (next->focusPolicy() & Qt::TabFocus) && next->isVisibleTo(owner)) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    owner->setFocus(Qt::OtherFocusReason);
}

}  // namespace tarvik
