// The engine on the real-time loop driver, against a board on the far end of a line.
#pragma once

#include <string>
#include <vector>

#include "upgrade/loop_driver.h"

namespace tarvik::testing {

// A loop driver that also keeps every text its lines showed, in order.
class RecordingDriver {
public:
    explicit RecordingDriver(CEventLoop& loop) : driver(loop) {
        driver.onChange = [this] {
            if (statuses.empty() || statuses.back() != driver.Status()) {
                statuses.push_back(driver.Status());
            }
            if (infos.empty() || infos.back() != driver.Info()) {
                infos.push_back(driver.Info());
            }
        };
    }
    bool Showed(const std::vector<std::string>& lines, const std::string& text) const {
        for (const auto& l : lines) {
            if (l == text) {
                return true;
            }
        }
        return false;
    }

    CLoopDriver driver;
    std::vector<std::string> statuses;
    std::vector<std::string> infos;
};

}  // namespace tarvik::testing
