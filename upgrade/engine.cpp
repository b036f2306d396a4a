// The engine's entry points: Start with its checks and the load, the dispatch of timer ticks
// and replies, Stop, and the one way a frame goes on the line.
#include "upgrade/engine.h"

#include <cstring>

#include "serial/com_port.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik {

CUpgradeEngine::CUpgradeEngine(IUpgradeDriver& driver, uint8_t* firmware, uint32_t capacity)
    : m_driver(driver), m_firmware(firmware), m_capacity(capacity) {
    // Room for every dot of a whole search, once.
    m_state.searchText.reserve(sizeof text::kSearching + size_t{kSearchSteps} * kSearchPasses);
    m_state.searchText = text::kSearching;
}

bool CUpgradeEngine::PortReadyForStart() {
    if (!m_driver.Port().IsOpen()) {
        m_driver.ShowMessage(text::kOpenPortFirst);
        return false;
    }
    return true;
}

void CUpgradeEngine::ResetSearch() {
    m_state.searchText = text::kSearching;
    m_state.searchIndex = 0;
    m_state.passCount = 0;
}

StartResult CUpgradeEngine::Start(const std::string& imagePath, const std::string& imageName) {
    if (!PortReadyForStart()) {
        return StartResult::PortNotOpen;
    }
    if (imagePath.empty() || imageName.empty()) {
        m_driver.ShowMessage(text::kChooseFile);
        return StartResult::NoFileChosen;
    }
    // The search starts over even when the load below fails.
    ResetSearch();

    // Whatever the outcome, the buffer no longer holds the previous image.
    m_image = FirmwareImage{m_firmware, 0, ExpectedSum(m_firmware, 0)};
    switch (LoadCheckedImage(imagePath, m_firmware, m_capacity, m_image)) {
        case ImageCheck::Ok:
            break;
        case ImageCheck::OpenFailed:
            m_driver.ShowMessage(text::kOpenFileFailed);
            return StartResult::OpenFailed;
        case ImageCheck::ReadFailed:
            m_driver.ShowMessage(text::kOpenFileFailed);
            return StartResult::ReadFailed;
        case ImageCheck::TooBig:
            m_driver.ShowMessage(text::kFileHuge);
            return StartResult::TooBig;
        case ImageCheck::BadImage:
            m_driver.SetStatusText(text::kBinFileBad);
            return StartResult::BadImage;
    }
    BeginSearch();
    return StartResult::Started;
}

StartResult CUpgradeEngine::Start(const FirmwareImage& image) {
    if (!PortReadyForStart()) {
        return StartResult::PortNotOpen;
    }
    ResetSearch();
    if (image.data == nullptr || CheckImage(image.data, image.length) == kImageRejected) {
        m_driver.SetStatusText(text::kBinFileBad);
        return StartResult::BadImage;
    }
    m_image = image;
    BeginSearch();
    return StartResult::Started;
}

void CUpgradeEngine::OnTimer(int id) {
    switch (id) {
        case kResendTimer:
            OnResendTick();
            break;
        case kScanTimer:
            OnScanTick();
            break;
        case kFastResendTimer:
            OnFastResendTick();
            break;
        default:
            break;
    }
}

void CUpgradeEngine::OnFrameReceived(const uint8_t* data, uint32_t count) {
    if (data == nullptr) {
        return;
    }
    m_driver.Trace(TraceDirection::Received, data, count);
    // The Start button's state is the upgrade flag: nothing runs while it is enabled.
    if (m_driver.IsStartEnabled()) {
        return;
    }
    // Only a single command frame is a reply; two run together are dropped as one.
    if (count != kCmdFrameSize) {
        if (RememberedStep() == kStepFinish) {
            TakeFinishAnswerFromBurst(data, count);
        }
        return;
    }
    CCmdFrame reply;
    reply.Load(data);  // a copy: the reader's buffer is reused once this returns
    if (!reply.Verify()) {
        return;  // as if lost: the running timer repeats the frame
    }
    if (!AnswersFrameInFlight(reply)) {
        return;  // as if lost
    }
    Accept(reply);
}

void CUpgradeEngine::Accept(const CCmdFrame& reply) {
    m_deviceFound = true;
    StopAllTimers();
    m_driver.SetInfoText(text::kDeviceFound);
    ActOnReply(reply);
}

void CUpgradeEngine::TakeFinishAnswerFromBurst(const uint8_t* data, uint32_t count) {
    // Elsewhere a dropped burst is as if lost, and the resend timer repeats the frame. After
    // the finish command nothing repeats, and its answer can arrive run together with a late
    // duplicate: the answer to a checksum request that was resent, which the board answers
    // twice. Dropped, the upgrade would wait in Finishing for ever although the board is
    // done. So a burst of whole command frames, every one sound, is looked through for the
    // finish answer; anything else is still dropped.
    if (count % kCmdFrameSize != 0) {
        return;
    }
    for (uint32_t at = 0; at < count; at += kCmdFrameSize) {
        CCmdFrame piece;
        piece.Load(data + at);
        if (!piece.Verify()) {
            return;
        }
    }
    for (uint32_t at = 0; at < count; at += kCmdFrameSize) {
        CCmdFrame piece;
        piece.Load(data + at);
        if (piece.m_step == kStepFinish && AnswersFrameInFlight(piece)) {
            Accept(piece);
            return;
        }
    }
}

void CUpgradeEngine::OnStop() {
    StopAllTimers();
    m_driver.EnableStart(true);
    m_driver.SetInfoText(text::kUpgradeStopped);
    if (m_phase != UpgradePhase::Idle) {
        m_outcome = UpgradeOutcome::Stopped;
    }
    m_phase = UpgradePhase::Idle;
}

void CUpgradeEngine::OnPortClosed() {
    m_driver.StopTimer(kResendTimer);
    switch (m_phase) {
        case UpgradePhase::Handshake:
        case UpgradePhase::Sending:
        case UpgradePhase::Verifying:
            m_phase = UpgradePhase::Stalled;
            break;
        default:
            break;  // the search timers keep ticking; their sends are skipped
    }
}

size_t CUpgradeEngine::SendFrame(const uint8_t* bytes, size_t length) {
    CComPort& port = m_driver.Port();
    if (!port.IsOpen()) {
        return length;
    }
    uint32_t written = 0;
    m_lastSendCode =
        port.Write(bytes, static_cast<uint32_t>(length), &written, nullptr, kSendTimeoutMs);
    m_driver.Trace(TraceDirection::Sent, bytes, length);
    return length;
}

void CUpgradeEngine::SendAndRemember(const uint8_t* wire, uint32_t length) {
    SendFrame(wire, length);
    std::memcpy(m_state.rememberedFrame, wire, length);
    m_state.rememberedLength = length;
    m_state.resendCount = 0;
}

void CUpgradeEngine::StopAllTimers() {
    m_driver.StopTimer(kResendTimer);
    m_driver.StopTimer(kScanTimer);
    m_driver.StopTimer(kFastResendTimer);
}

}  // namespace tarvik
