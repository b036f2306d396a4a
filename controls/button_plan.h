// What the lamp button paints where: the decisions of the owner-drawn state-bitmap button,
// taken once in plain C++ and drawn by each window's own painter (Qt's, or GDI's).
//
// A paint, in order: a black frame when the button has the focus or is the default (not
// flat); the face; the edge (raised, a pressed frame, or a flat button's thin edge when it
// is pressed or hovered); the state bitmap at the left + 3 with the caption right of it (or
// the bitmap centred without a caption); the caption centred in its area, embossed when
// disabled; the focus rectangle 3 pixels inside the face. A pressed button shows bitmap and
// caption one pixel right and down.
#pragma once

#include <array>

namespace tarvik {

struct PixelPoint {
    int x = 0;
    int y = 0;
    bool operator==(const PixelPoint&) const = default;
};

// A rectangle of whole pixels; right and bottom exclusive (x + width, y + height).
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int Right() const { return x + width; }
    int Bottom() const { return y + height; }
    PixelRect Inset(int dx, int dy) const {
        return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
    }
    PixelRect Moved(int dx, int dy) const { return {x + dx, y + dy, width, height}; }
    bool operator==(const PixelRect&) const = default;
};

// The system colours an edge is drawn in.
enum class EdgeColour {
    Highlight,   // the brightest edge
    Light3D,     // just inside it
    Shadow,      // the darker inner edge
    DarkShadow,  // the outermost dark edge
};

// A two-segment line a -> b -> c; each segment leaves out its end point.
struct EdgeLine {
    PixelPoint a, b, c;
    EdgeColour colour;
};

enum class ButtonEdge {
    None,          // a flat button at rest
    Raised,        // the four lines of `raised`
    PressedFrame,  // a one-pixel frame in the shadow colour around the face
    FlatRaised,    // a flat button hovered: light top-left, shadow bottom-right
    FlatSunken,    // a flat button pressed: the reverse
};

struct ButtonState {
    PixelRect item;  // the whole button
    bool selected = false;
    bool focus = false;
    bool disabled = false;
    bool flat = false;
    bool hovering = false;
    bool toggleMode = false;
    bool checked = false;
    bool isDefault = false;
    bool hasCaption = false;
    // The state bitmaps' sizes; a width of 0 is no bitmap.
    int activeWidth = 0;
    int activeHeight = 0;
    int idleWidth = 0;
    int idleHeight = 0;
};

struct ButtonPlan {
    bool pressed = false;     // selected, or checked in toggle mode
    bool blackFrame = false;  // a black frame just inside the item, the face inside that
    PixelRect face;
    ButtonEdge edge = ButtonEdge::None;
    std::array<EdgeLine, 4> raised{};  // with ButtonEdge::Raised, drawn in this order
    bool hasImage = false;
    bool idleImage = false;   // the idle bitmap rather than the active one
    PixelRect image;          // where the chosen bitmap goes
    PixelRect captionArea;    // the caption is centred in it
    bool activeText = false;  // the caption in the active text colour (hovered or pressed)
    bool embossed = false;    // disabled: highlight one pixel right and down, then shadow
    bool focusRect = false;
    PixelRect focus;
};

inline constexpr int kButtonImageMargin = 3;  // left edge to bitmap, and bitmap to caption
inline constexpr int kButtonFocusInset = 3;   // focus rectangle inside the face
inline constexpr int kButtonPressedOffset = 1;

ButtonPlan PlanButton(const ButtonState& state);
// Where a caption of `width` x `height` pixels, as laid out by the painter, is placed in
// `area`: centred, halves to the left and top.
PixelRect PlaceCaption(const PixelRect& area, int width, int height);

}  // namespace tarvik
