// What the window tests share: a configuration folder of their own, the application's name,
// and a window made inside it.
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>
#include <memory>
#include <string>

#include "app/upgrade_dlg.h"
#include "controls/image_button.h"
#include "res/resource.h"
#include "scoped_config.h"

namespace tarvik::testing {

// The executable name of the tool; tests run under their own executables, so they name the
// application as the tool does.
inline constexpr char kAppName[] = "tarvik";

// Indexes in the lists.
inline constexpr int kBaud9600 = 3;
inline constexpr int kParityEven = 2;
inline constexpr int kDataBits7 = 0;
inline constexpr int kStopBits2 = 2;

struct WindowParts {
    explicit WindowParts(CUpgradeDlg& dlg)
        : portList(dlg.ControlAs<QComboBox>(res::kPortList)),
          baudList(dlg.ControlAs<QComboBox>(res::kBaudList)),
          parityList(dlg.ControlAs<QComboBox>(res::kParityList)),
          dataBitsList(dlg.ControlAs<QComboBox>(res::kDataBitsList)),
          stopBitsList(dlg.ControlAs<QComboBox>(res::kStopBitsList)),
          fileBox(dlg.ControlAs<QLineEdit>(res::kFileBox)),
          browse(dlg.ControlAs<QPushButton>(res::kBrowseButton)),
          start(dlg.ControlAs<QPushButton>(res::kStartButton)),
          exit(dlg.ControlAs<QPushButton>(res::kExitButton)),
          stop(dlg.ControlAs<QPushButton>(res::kStopButton)),
          openClose(dlg.ControlAs<CImageButton>(res::kOpenCloseButton)),
          progress(dlg.ControlAs<QProgressBar>(res::kProgressBar)),
          infoLine(dlg.ControlAs<QLabel>(res::kInfoLine)),
          statusLine(dlg.ControlAs<QLabel>(res::kStatusLine)) {}

    QComboBox* portList;
    QComboBox* baudList;
    QComboBox* parityList;
    QComboBox* dataBitsList;
    QComboBox* stopBitsList;
    QLineEdit* fileBox;
    QPushButton* browse;
    QPushButton* start;
    QPushButton* exit;
    QPushButton* stop;
    CImageButton* openClose;
    QProgressBar* progress;
    QLabel* infoLine;
    QLabel* statusLine;
};

// An image the board accepts: `length` bytes with the marker "IO-" at offset 1.
inline void WriteImage(const std::filesystem::path& file, size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    bytes.replace(1, 3, "IO-");
    WriteText(file, bytes);
}

}  // namespace tarvik::testing
