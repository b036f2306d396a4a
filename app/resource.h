// Resource and control ids of the desktop tool, and the window's own texts.
#pragma once

#include "tarvik_version.h"

namespace tarvik::res {

// Dialog templates, strings, icon and bitmaps.
inline constexpr int kAboutDialog = 100;
inline constexpr int kAboutItemString = 101;
inline constexpr int kMainDialog = 102;
inline constexpr int kSocketFailString = 103;
inline constexpr int kAppIcon = 128;
inline constexpr int kLampOffBitmap = 129;  // 63 x 25, port closed
inline constexpr int kLampOnBitmap = 130;   // 47 x 25, port open

// Window-menu commands. Ids 16 to 31 (low four bits ignored) open the About box.
inline constexpr unsigned kAboutCommand = 0x0010;
inline constexpr unsigned kSysCommandIdMask = 0xFFF0;
inline constexpr unsigned kSysCloseCommand = 0xF060;

// Controls of the main window.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kBaudList = 1002;
inline constexpr int kParityList = 1003;
inline constexpr int kDataBitsList = 1004;
inline constexpr int kStopBitsList = 1005;
inline constexpr int kPortList = 1006;
inline constexpr int kFileBox = 1007;
inline constexpr int kBrowseButton = 1008;
inline constexpr int kStartButton = 1009;
inline constexpr int kExitButton = 1010;
inline constexpr int kProgressBar = 1011;
inline constexpr int kStatusLine = 1012;
inline constexpr int kOpenCloseButton = 1013;
inline constexpr int kInfoLine = 1014;
inline constexpr int kStopButton = 1015;

}  // namespace tarvik::res

namespace tarvik::text {

inline constexpr const char kMainTitle[] = "Norvane 串口继电器控制板固件升级工具 V103";
inline constexpr const char kAboutTitle[] = "关于 tarvik";
inline constexpr const char kAboutItem[] = "关于 tarvik(&A)...";  // string 101
inline constexpr const char kCloseItem[] = "关闭(&C)\tAlt+F4";
// The template's text with the project's major.minor version in it.
inline constexpr const char kVersionLine[] = "tarvik " TARVIK_VERSION_SHORT " 版";
inline constexpr const char kOkButton[] = "确定";
inline constexpr const char kOpenCaption[] = "打开";
inline constexpr const char kCloseCaption[] = "关闭";
inline constexpr const char kStatusInitial[] = "Static";
inline constexpr const char kFilterBin[] = "(*.bin)";
inline constexpr const char kFilterAll[] = "所有文件(*.*)";

}  // namespace tarvik::text
