/* The main window's template and the ids and texts of the tool's resources, as plain
 * preprocessor definitions: the C++ windows and the Windows resource script read this one
 * file, so a control's place, kind or text cannot drift between them.
 *
 * Only macros may live here (the resource compiler reads it too). The file is UTF-8. */
#ifndef TARVIK_RES_DIALOG_TEMPLATE_H
#define TARVIK_RES_DIALOG_TEMPLATE_H

#include "tarvik_version.h"

/* Resources. */
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDS_SOCKETS_FAILED 103
#define IDR_MAINFRAME 128
#define IDB_LAMP_OFF 129 /* 63 x 25, port closed */
#define IDB_LAMP_ON 130  /* 47 x 25, port open */

/* Controls of the main window. A static control without an id carries -1. */
#define IDC_NONE -1
#define IDC_BAUD_LIST 1002
#define IDC_PARITY_LIST 1003
#define IDC_DATA_BITS_LIST 1004
#define IDC_STOP_BITS_LIST 1005
#define IDC_PORT_LIST 1006
#define IDC_FILE_BOX 1007
#define IDC_BROWSE 1008
#define IDC_START 1009
#define IDC_EXIT 1010
#define IDC_PROGRESS 1011
#define IDC_STATUS_LINE 1012
#define IDC_OPEN_CLOSE 1013
#define IDC_INFO_LINE 1014
#define IDC_STOP 1015

/* Template 102, dialog units, and its font. */
#define TARVIK_MAIN_WIDTH 324
#define TARVIK_MAIN_HEIGHT 205
#define TARVIK_MAIN_FONT_POINTS 12
/* Template 100. */
#define TARVIK_ABOUT_WIDTH 235
#define TARVIK_ABOUT_HEIGHT 55
#define TARVIK_ABOUT_FONT_POINTS 9

#define TARVIK_TEXT_MAIN_TITLE "Norvane 串口继电器控制板固件升级工具 V103"
#define TARVIK_TEXT_ABOUT_TITLE "关于 tarvik"
#define TARVIK_TEXT_ABOUT_ITEM "关于 tarvik(&A)..."
/* The template's text with the project's major.minor version in it. */
#define TARVIK_TEXT_VERSION_LINE "tarvik " TARVIK_VERSION_SHORT " 版"
#define TARVIK_TEXT_OK "确定"
#define TARVIK_TEXT_SOCKETS_FAILED "Windows 通信端口初始化失败。"
#define TARVIK_TEXT_OPEN "打开"
#define TARVIK_TEXT_STATUS_INITIAL "Static"

/* The controls of template 102 in template order, which is also the tab order of those that
 * take the focus: C(kind, id, text, x, y, width, height, visibility), in dialog units. A
 * list's height includes its drop-down. The hidden baud list and its label lie under the
 * parity list and its label. */
#define TARVIK_MAIN_CONTROLS(C)                                              \
    C(List, IDC_BAUD_LIST, "", 67, 36, 45, 316, Hidden)                      \
    C(List, IDC_PARITY_LIST, "", 68, 36, 45, 104, Shown)                     \
    C(List, IDC_DATA_BITS_LIST, "", 127, 35, 45, 97, Shown)                  \
    C(List, IDC_STOP_BITS_LIST, "", 185, 34, 45, 84, Shown)                  \
    C(Label, IDC_NONE, "波特率", 66, 25, 25, 8, Hidden)                      \
    C(Label, IDC_NONE, "数据位", 128, 24, 25, 8, Shown)                      \
    C(Label, IDC_NONE, "效验位", 69, 25, 25, 8, Shown)                       \
    C(Label, IDC_NONE, "停止位", 184, 24, 25, 8, Shown)                      \
    C(Group, IDC_NONE, "固件升级", 7, 73, 310, 90, Shown)                    \
    C(Group, IDC_NONE, "串口参数", 7, 7, 310, 58, Shown)                     \
    C(List, IDC_PORT_LIST, "", 14, 37, 45, 148, Shown)                       \
    C(Label, IDC_NONE, "串口号", 14, 26, 25, 8, Shown)                       \
    C(Group, IDC_NONE, "信息", 7, 166, 310, 32, Shown)                       \
    C(FileBox, IDC_FILE_BOX, "", 13, 87, 257, 14, Shown)                     \
    C(Button, IDC_BROWSE, "浏览", 272, 86, 32, 14, Shown)                    \
    C(Button, IDC_START, "开始升级", 78, 111, 50, 22, Shown)                 \
    C(Button, IDC_EXIT, "退出", 241, 110, 50, 22, Shown)                     \
    C(Progress, IDC_PROGRESS, "Progress1", 13, 147, 291, 14, Shown)          \
    C(TextLine, IDC_INFO_LINE, "", 14, 179, 274, 8, Shown)                   \
    C(TextLine, IDC_STATUS_LINE, TARVIK_TEXT_STATUS_INITIAL, 13, 137, 290, 8, Shown) \
    C(LampButton, IDC_OPEN_CLOSE, TARVIK_TEXT_OPEN, 236, 32, 67, 14, Shown)  \
    C(Button, IDC_STOP, "停止", 160, 110, 50, 22, Shown)

#endif /* TARVIK_RES_DIALOG_TEMPLATE_H */
