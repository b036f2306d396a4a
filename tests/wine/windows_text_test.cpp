// UTF-8 inside, UTF-16 at the Windows API: the conversions, file names as the command line
// takes them, and files that are no image.
#include <gtest/gtest.h>

#include <string>

#include "cli/console.h"
#include "serial/wide_text.h"
#include "upgrade/image.h"

namespace tarvik {
namespace {

TEST(WideText, ChineseRoundTripsAndBrokenBytesBecomeReplacementCharacters) {
    const std::string chinese = "固件 升级\\继电器板.bin";
    const std::wstring wide = WideFromUtf8(chinese);
    EXPECT_EQ(wide, L"固件 升级\\继电器板.bin");
    EXPECT_EQ(Utf8FromWide(wide), chinese);
    EXPECT_EQ(WideFromUtf8(""), L"");
    EXPECT_EQ(Utf8FromWide(L""), "");
    // A lone lead byte and a stray continuation byte: no error, no lost neighbours.
    EXPECT_EQ(WideFromUtf8("a\xE5z\x80y"), L"a\xFFFDz\xFFFDy");
}

TEST(WindowsFileNames, TheNameAfterEitherSeparatorAndAbsolutePaths) {
    struct Case {
        const char* path;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\固件\\继电器板.bin", "继电器板.bin"},
        {"Z:/tmp/image.bin", "image.bin"},
        {"dir\\sub/mixed.bin", "mixed.bin"},
        {"plain.bin", "plain.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(cli::FileNameOf(c.path), c.name);
    }
    // Device names stay as they are, so COM7 and \\.\COM7 are told to be one port.
    EXPECT_EQ(cli::CanonicalPath("\\\\.\\COM7"), "\\\\.\\COM7");
    EXPECT_EQ(cli::CanonicalPath("C:\\固件\\a\\..\\b.bin"), "C:\\固件\\b.bin");
}

TEST(WindowsImageFile, DevicesAreNoImage) {
    uint8_t buffer[64] = {};
    uint32_t length = 77;
    for (const char* device : {"NUL", "\\\\.\\NUL", "CONIN$"}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(LoadImageFile(device, buffer, sizeof buffer, length), LoadResult::OpenFailed);
        EXPECT_EQ(length, 77u);
    }
}

}  // namespace
}  // namespace tarvik
