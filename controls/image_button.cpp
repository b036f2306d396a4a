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

constexpr int kResourceIdMask = 0xFFFF;

constexpr QRgb kWhite = qRgb(255, 255, 255);
constexpr QRgb kBlack = qRgb(0, 0, 0);
constexpr int kMaskOpaque = 0;       // mask index: a pixel of the picture
constexpr int kMaskTransparent = 1;  // mask index: the face shows through

QRect ToQRect(const PixelRect& r) {
    return QRect(r.x, r.y, r.width, r.height);
}

QPoint ToQPoint(const PixelPoint& p) {
    return QPoint(p.x, p.y);
}

PixelRect ToPixels(const QRect& r) {
    return PixelRect{r.x(), r.y(), r.width(), r.height()};
}

QPalette::ColorRole EdgeRole(EdgeColour colour) {
    switch (colour) {
        case EdgeColour::Highlight:
            return QPalette::Light;
        case EdgeColour::Light3D:
            return QPalette::Midlight;
        case EdgeColour::Shadow:
            return QPalette::Dark;
        case EdgeColour::DarkShadow:
            break;
    }
    return QPalette::Shadow;
}

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

    const QString caption = text();
    ButtonState state;
    state.item = ToPixels(item.rect);
    state.selected = item.selected;
    state.focus = item.focus;
    state.disabled = item.disabled;
    state.flat = m_flat;
    state.hovering = m_hovering;
    state.toggleMode = m_toggleMode;
    state.checked = m_checked;
    state.isDefault = isDefault();
    state.hasCaption = !caption.isEmpty();
    state.activeWidth = m_images[kActive].bitmap.width();
    state.activeHeight = m_images[kActive].bitmap.height();
    state.idleWidth = m_images[kIdle].bitmap.width();
    state.idleHeight = m_images[kIdle].bitmap.height();
    const ButtonPlan plan = PlanButton(state);

    if (plan.blackFrame) {
        FrameRect(dc, item.rect, QColor(kBlack));
    }
    const QRect r = ToQRect(plan.face);
    PaintFace(dc, r);

    const QPalette& pal = palette();
    switch (plan.edge) {
        case ButtonEdge::None:
            break;
        case ButtonEdge::FlatRaised:
        case ButtonEdge::FlatSunken:
            PaintFlatEdge(dc, r);
            break;
        case ButtonEdge::PressedFrame:
            FrameRect(dc, r, pal.color(QPalette::Dark));
            break;
        case ButtonEdge::Raised:
            for (const EdgeLine& line : plan.raised) {
                Polyline(dc, ToQPoint(line.a), ToQPoint(line.b), ToQPoint(line.c),
                         pal.color(EdgeRole(line.colour)));
            }
            break;
    }

    if (plan.hasImage) {
        PaintStateBitmap(dc, plan, m_disabled);
    }

    if (!caption.isEmpty()) {
        const QRect area = ToQRect(plan.captionArea);
        const QFontMetrics metrics(font());
        const QRect measured =
            metrics.boundingRect(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, caption);
        const QRect place =
            ToQRect(PlaceCaption(plan.captionArea, measured.width(), measured.height()));

        const int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
        dc.setFont(font());
        if (plan.embossed) {
            dc.setPen(pal.color(QPalette::Light));
            dc.drawText(place.translated(1, 1), flags, caption);
            dc.setPen(pal.color(QPalette::Dark));
            dc.drawText(place, flags, caption);
        } else {
            dc.setPen(plan.activeText ? m_activeText : m_idleText);
            dc.drawText(place, flags, caption);
        }
    }

    if (plan.focusRect) {
        DrawFocusRect(dc, ToQRect(plan.focus));
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

void CImageButton::PaintStateBitmap(QPainter& dc, const ButtonPlan& plan, bool disabled) {
    const ImageRecord& record = m_images[plan.idleImage ? kIdle : kActive];
    const QRect place = ToQRect(plan.image);

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
