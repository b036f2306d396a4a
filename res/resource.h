// res/ holds the resources the programs' windows and the page share: the icon, the lamp
// bitmaps, and here the resource and control ids with the window's own texts, read by the
// dialog's two views, both station windows and the page (dialog_template.h beside it is the
// dialog's template, read by the C++ code and the Windows resource script alike).
#pragma once

#include "res/dialog_template.h"

namespace tarvik::res {

// Dialog templates, strings, icon and bitmaps.
inline constexpr int kAboutDialog = IDD_ABOUTBOX;
inline constexpr int kAboutItemString = IDS_ABOUTBOX;
inline constexpr int kMainDialog = IDD_MAIN;
inline constexpr int kSocketFailString = IDS_SOCKETS_FAILED;
inline constexpr int kAppIcon = IDR_MAINFRAME;
inline constexpr int kLampOffBitmap = IDB_LAMP_OFF;  // 63 x 25, port closed
inline constexpr int kLampOnBitmap = IDB_LAMP_ON;    // 47 x 25, port open

// Window-menu commands. Ids 16 to 31 (low four bits ignored) open the About box.
inline constexpr unsigned kAboutCommand = 0x0010;
inline constexpr unsigned kSysCommandIdMask = 0xFFF0;
inline constexpr unsigned kSysCloseCommand = 0xF060;

// Controls of the main window.
inline constexpr int kNoId = IDC_NONE;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kBaudList = IDC_BAUD_LIST;
inline constexpr int kParityList = IDC_PARITY_LIST;
inline constexpr int kDataBitsList = IDC_DATA_BITS_LIST;
inline constexpr int kStopBitsList = IDC_STOP_BITS_LIST;
inline constexpr int kPortList = IDC_PORT_LIST;
inline constexpr int kFileBox = IDC_FILE_BOX;
inline constexpr int kBrowseButton = IDC_BROWSE;
inline constexpr int kStartButton = IDC_START;
inline constexpr int kExitButton = IDC_EXIT;
inline constexpr int kProgressBar = IDC_PROGRESS;
inline constexpr int kStatusLine = IDC_STATUS_LINE;
inline constexpr int kOpenCloseButton = IDC_OPEN_CLOSE;
inline constexpr int kInfoLine = IDC_INFO_LINE;
inline constexpr int kStopButton = IDC_STOP;

// Template 102 in dialog units, and its font size in points.
inline constexpr int kMainWidth = TARVIK_MAIN_WIDTH;
inline constexpr int kMainHeight = TARVIK_MAIN_HEIGHT;
inline constexpr int kMainFontPoints = TARVIK_MAIN_FONT_POINTS;

// What a control of the main window is; each window draws each kind its own way.
enum class ControlKind { List, Label, Group, FileBox, Button, LampButton, Progress, TextLine };

struct ControlTemplate {
    ControlKind kind;
    int id;  // kNoId: a control without id
    const char* text;
    int x, y, width, height;  // dialog units; a list's height includes its drop-down
    bool hidden;
};

inline constexpr bool kTemplateHidden = true;
inline constexpr bool kTemplateShown = false;
#define TARVIK_CONTROL_ENTRY(kind, id, text, x, y, w, h, visibility) \
    ControlTemplate{ControlKind::kind, id, text, x, y, w, h, kTemplate##visibility},
// The controls of template 102 in template order, which is also the tab order.
inline constexpr ControlTemplate kMainTemplate[] = {TARVIK_MAIN_CONTROLS(TARVIK_CONTROL_ENTRY)};
#undef TARVIK_CONTROL_ENTRY

}  // namespace tarvik::res

namespace tarvik::text {

inline constexpr const char kMainTitle[] = TARVIK_TEXT_MAIN_TITLE;
inline constexpr const char kAboutTitle[] = TARVIK_TEXT_ABOUT_TITLE;
inline constexpr const char kAboutItem[] = TARVIK_TEXT_ABOUT_ITEM;          // string 101
inline constexpr const char kSocketsFailed[] = TARVIK_TEXT_SOCKETS_FAILED;  // string 103
inline constexpr const char kCloseItem[] = "关闭(&C)\tAlt+F4";
inline constexpr const char kVersionLine[] = TARVIK_TEXT_VERSION_LINE;
inline constexpr const char kOkButton[] = TARVIK_TEXT_OK;
inline constexpr const char kOpenCaption[] = TARVIK_TEXT_OPEN;
inline constexpr const char kCloseCaption[] = "关闭";
inline constexpr const char kStatusInitial[] = TARVIK_TEXT_STATUS_INITIAL;
inline constexpr const char kFilterBin[] = "(*.bin)";
inline constexpr const char kFilterAll[] = "所有文件(*.*)";

}  // namespace tarvik::text
