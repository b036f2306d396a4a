// Where the keyboard focus goes when the Start button is disabled or enabled again, and what
// Enter does while it rests there. Plain C++: every window of the tool asks this and only
// moves the focus.
//
// A disabled control loses the focus to the next one in the tab order, which after 开始升级
// is 退出: a Space or a stray Enter would then end the program with the board half written.
// 停止 is no better: an operator at a fixture taps twice, and the second tap would stop the
// upgrade the first one started. So the focus goes to the read-only file box, where Space
// does nothing and Enter is held back while the upgrade runs; when the upgrade ends it comes
// back to 开始升级.
#pragma once

namespace tarvik {

enum class StartFocus {
    kStart,    // the Start button
    kFileBox,  // the read-only file box
    kOther,    // any other control, or none
};

// The control that should hold the focus once Start has become `startEnabled`, given the
// one that holds it `now` (just before the change). Returns `now` when nothing moves.
constexpr StartFocus FocusAfterStartChange(bool startEnabled, StartFocus now) {
    if (!startEnabled && now == StartFocus::kStart) {
        return StartFocus::kFileBox;
    }
    if (startEnabled && now == StartFocus::kFileBox) {
        return StartFocus::kStart;
    }
    return now;
}

// Whether Enter on a control that is not a push button is the dialog's OK, which ends the
// window. On the file box while an upgrade runs (Start disabled) it does nothing: that is
// where the focus waits for the upgrade to end, and a repeated Enter must not end it.
constexpr bool EnterEndsWindow(bool startEnabled, StartFocus holder) {
    return startEnabled || holder != StartFocus::kFileBox;
}

}  // namespace tarvik
