// Texts the upgrade shows to the operator, exactly as the tool has always shown them
// (UTF-8). The window and the command line show the same words.
#pragma once

namespace tarvik::text {

inline constexpr const char kSearching[] = "正在寻找设备..";
inline constexpr const char kDeviceFound[] = "已找到设备，正在升级";
inline constexpr const char kNotFoundPowerUp[] = "未找到设备,请重新上电,正在发送升级指令  ";
inline constexpr const char kUpgradeFailed[] = "升级失败";
inline constexpr const char kUpgradeSucceeded[] = "升级成功";
inline constexpr const char kUpgradeStopped[] = "停止升级";
inline constexpr const char kFailureReply[] = "fsfds";
inline constexpr const char kOpenPortFirst[] = "请先打开串口";
inline constexpr const char kChooseFile[] = "请选择要升级的文件！";
inline constexpr const char kOpenFileFailed[] = "打开文件失败";
inline constexpr const char kFileHuge[] = "file is huge!!!";
inline constexpr const char kBinFileBad[] = "bin file is bad!!!";
inline constexpr const char kPortUnavailable[] = "串口不存在或被其他程序占用";

}  // namespace tarvik::text
