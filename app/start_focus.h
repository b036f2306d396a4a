// Where the keyboard focus goes when the Start button is disabled or enabled again. Plain
// C++: every window of the tool asks this and only moves the focus.
//
// A disabled control loses the focus to the next one in the tab order, which after 开始升级
// is 退出: a Space or a stray Enter would then end the program with the board half written.
// So the focus goes to 停止, the action an operator may want next, and when the upgrade
// ends it comes back to 开始升级.
#pragma once

namespace tarvik {

enum class StartFocus {
    kStart,  // the Start button
    kStop,   // the Stop button
    kOther,  // any other control, or none
};

// The control that should hold the focus once Start has become `startEnabled`, given the
// one that holds it `now` (just before the change). Returns `now` when nothing moves.
constexpr StartFocus FocusAfterStartChange(bool startEnabled, StartFocus now) {
    if (!startEnabled && now == StartFocus::kStart) {
        return StartFocus::kStop;
    }
    if (startEnabled && now == StartFocus::kStop) {
        return StartFocus::kStart;
    }
    return now;
}

}  // namespace tarvik
