#include "controls/button_plan.h"

namespace tarvik {

ButtonPlan PlanButton(const ButtonState& state) {
    ButtonPlan plan;
    plan.pressed = state.selected || (state.toggleMode && state.checked);
    PixelRect r = state.item;
    if (!state.flat && (state.focus || state.isDefault)) {
        plan.blackFrame = true;
        r = r.Inset(1, 1);
    }
    plan.face = r;

    const int L = r.x;
    const int T = r.y;
    const int R = r.Right();
    const int B = r.Bottom();
    if (plan.pressed) {
        plan.edge = state.flat ? ButtonEdge::FlatSunken : ButtonEdge::PressedFrame;
    } else if (state.flat) {
        plan.edge = state.hovering ? ButtonEdge::FlatRaised : ButtonEdge::None;
    } else {
        plan.edge = ButtonEdge::Raised;
        plan.raised = {{
            {{L, B - 1}, {L, T}, {R, T}, EdgeColour::Highlight},
            {{L + 1, B - 1}, {L + 1, T + 1}, {R, T + 1}, EdgeColour::Light3D},
            {{L, B - 1}, {R - 1, B - 1}, {R - 1, T - 1}, EdgeColour::DarkShadow},
            {{L + 1, B - 2}, {R - 2, B - 2}, {R - 2, T}, EdgeColour::Shadow},
        }};
    }

    // The caption area starts as the whole item; a bitmap beside a caption takes its left.
    const bool shift = plan.pressed && !state.toggleMode;
    plan.captionArea = state.item;
    if (state.activeWidth > 0) {
        plan.hasImage = true;
        const bool useActive = state.toggleMode ? plan.pressed : (plan.pressed || state.hovering);
        plan.idleImage = !useActive && state.idleWidth > 0;
        const int width = plan.idleImage ? state.idleWidth : state.activeWidth;
        const int height = plan.idleImage ? state.idleHeight : state.activeHeight;
        PixelPoint at{state.item.x, state.item.y};
        if (state.hasCaption) {
            at.x += kButtonImageMargin;
            const int left = plan.captionArea.x + width + kButtonImageMargin;
            plan.captionArea.width -= left - plan.captionArea.x;
            plan.captionArea.x = left;
        } else {
            at.x += (state.item.width - width) / 2;
        }
        at.y += (state.item.height - height) / 2;
        if (shift) {
            at.x += kButtonPressedOffset;
            at.y += kButtonPressedOffset;
        }
        plan.image = {at.x, at.y, width, height};
    }
    if (shift) {
        plan.captionArea = plan.captionArea.Moved(kButtonPressedOffset, kButtonPressedOffset);
    }
    plan.activeText = state.hovering || plan.pressed;
    plan.embossed = state.disabled;
    plan.focusRect = !state.flat && state.focus;
    plan.focus = r.Inset(kButtonFocusInset, kButtonFocusInset);
    return plan;
}

PixelRect PlaceCaption(const PixelRect& area, int width, int height) {
    return {area.x + (area.width - width) / 2, area.y + (area.height - height) / 2, width, height};
}

}  // namespace tarvik
