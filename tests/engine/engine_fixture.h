// A test engine on the virtual clock, with its own firmware buffer.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "upgrade/engine.h"

namespace tarvik::testing {

inline const std::string kSearching = "正在寻找设备..";
inline const std::string kFound = "已找到设备，正在升级";
inline const std::string kPowerUp = "未找到设备,请重新上电,正在发送升级指令  ";
inline const std::string kFailed = "升级失败";
inline const std::string kSucceeded = "升级成功";
inline const std::string kStopped = "停止升级";

class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(uint32_t capacity = 1 << 20)
        : m_buffer(capacity), engine(driver, m_buffer.data(), capacity) {
        driver.Attach(engine);
    }

    // Loads `image` from a file and starts the upgrade; the file stays until the test ends.
    void StartWith(const Bytes& image) {
        m_images.push_back(std::make_unique<TempImage>(image));
        ASSERT_EQ(engine.Start(m_images.back()->path(), m_images.back()->name()),
                  StartResult::Started);
    }
    // Hands `reply` over now, as the reader would.
    void Deliver(const Bytes& reply) {
        driver.Reply(reply);
        driver.Advance(Ms{0});
    }
    size_t Writes() const { return driver.port.writeCount; }

    std::vector<uint8_t> m_buffer;
    FakeDriver driver;
    CUpgradeEngine engine;
    std::vector<std::unique_ptr<TempImage>> m_images;
};

}  // namespace tarvik::testing
