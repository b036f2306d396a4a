// The device search: the upgrade start, the baud scan and the fast resend after a power-up
// request.
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/com_port.h"
#include "upgrade/engine.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik {

namespace {

constexpr char kSearchDot[] = ".";
constexpr char kStatusCleared[] = " ";
constexpr uint32_t kProgressMinimum = 0;
constexpr uint32_t kProgressFirstPosition = 1;

}  // namespace

void CUpgradeEngine::BeginSearch() {
    CCmdFrame command = MakeEnterUpgradeFrame();
    const uint8_t* wire = command.Pack();
    // Sent at whatever line settings the port has now; the scan changes them from its first
    // step on.
    const int32_t openedAt = m_driver.Port().GetBaudRate();
    m_searchBaud = openedAt > 0 ? static_cast<uint32_t>(openedAt) : 0;
    SendFrame(wire, kCmdFrameSize);
    m_driver.ArmTimer(kScanTimer, kFirstScanDelay);
    std::memcpy(m_state.rememberedFrame, wire, kCmdFrameSize);
    m_state.rememberedLength = kCmdFrameSize;
    m_state.resendCount = 0;
    m_phase = UpgradePhase::Scanning;
    m_outcome = UpgradeOutcome::None;
    m_deviceFound = false;
    m_resends = 0;
    m_foundBaud = 0;
    m_boardSum.reset();
    m_sumRejected = false;
    m_driver.EnableStart(false);
    // The whole block count: an image above 65,535 blocks still shows its true range.
    m_driver.SetProgressRange(kProgressMinimum, TotalBlocks(m_image.length));
    m_driver.SetStatusText(kStatusCleared);
    m_driver.SetProgressPos(kProgressFirstPosition);
}

void CUpgradeEngine::SetupFromSelections(uint32_t baud) {
    // Read afresh at every step: a change of the lists takes effect at the next one. A list
    // without a selection has index -1. For the data bits that makes 6, which the port
    // accepts: the step goes out with 6 data bits. For the parity and the stop bits it
    // makes code 255, which the port refuses: the step goes out at the previous settings.
    const LineSelections selections = m_driver.Selections();
    m_driver.Port().Setup(baud, static_cast<uint8_t>(selections.dataBitsIndex + kDataBitsIndexBase),
                          static_cast<uint8_t>(selections.parityIndex),
                          static_cast<uint8_t>(selections.stopBitsIndex));
}

void CUpgradeEngine::OnScanTick() {
    const uint8_t index = m_state.searchIndex;
    if (index >= kSearchSteps) {
        return;  // a tick that was already on its way when the scan ended
    }
    m_driver.ArmTimer(kScanTimer, kSearchPeriods[index]);
    SetupFromSelections(kSearchBauds[index]);
    m_searchBaud = kSearchBauds[index];
    SendFrame(m_state.rememberedFrame, m_state.rememberedLength);
    m_state.searchIndex = static_cast<uint8_t>(index + 1);
    m_state.searchText += kSearchDot;
    m_driver.SetInfoText(m_state.searchText);
    if (m_state.searchIndex < kSearchSteps) {
        return;
    }
    if (m_state.passCount + 1 < kSearchPasses) {
        m_state.searchIndex = 0;
        ++m_state.passCount;
        return;
    }
    // Three passes found nothing: the board may only listen for a moment after power-up.
    m_driver.StopTimer(kScanTimer);
    m_driver.ArmTimer(kFastResendTimer, kFastResendPeriod);
    SetupFromSelections(kFastResendBaud);
    m_driver.SetInfoText(text::kNotFoundPowerUp);
    m_state.fastResendCount = 0;
    m_phase = UpgradePhase::FastResend;
}

void CUpgradeEngine::OnFastResendTick() {
    m_driver.SetInfoText(text::kNotFoundPowerUp + std::to_string(m_state.fastResendCount));
    ++m_state.fastResendCount;
    m_searchBaud = kFastResendBaud;
    SendFrame(m_state.rememberedFrame, m_state.rememberedLength);
}

}  // namespace tarvik
