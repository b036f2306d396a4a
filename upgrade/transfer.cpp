// The block transfer: which replies count, what each accepted reply leads to by its step
// byte, and the resend timer that every frame of the transfer arms.
#include <cstdio>
#include <string>

#include "serial/com_port.h"
#include "upgrade/engine.h"
#include "upgrade/frames.h"
#include "upgrade/texts.h"

namespace tarvik {

namespace {

constexpr uint32_t kBlockNumberModulus = 0x10000;  // block numbers are 16 bits on the wire
constexpr char kProgressFormat[] = "%u/%u";
constexpr size_t kProgressTextSize = sizeof "4294967295/4294967295";
constexpr char kFailedStepFormat[] = "(0x%02x)";
constexpr size_t kFailedStepTextSize = sizeof "(0xff)";

}  // namespace

bool CUpgradeEngine::AnswersFrameInFlight(const CCmdFrame& reply) const {
    // Only a finish command that went out after the sums matched can be answered with
    // success. An answer at any other time (late, to an upgrade given up on) is as if lost.
    // The frame in flight decides, not the phase: a stall after the finish command went
    // out still ends in success when its answer comes.
    return reply.m_step != kStepFinish || RememberedStep() == kStepFinish;
}

void CUpgradeEngine::ActOnReply(const CCmdFrame& reply) {
    switch (reply.m_step) {
        case kStepFailure:
            m_driver.SetStatusText(text::kUpgradeFailed);
            // Enabled before the box shows: a reply handled while it is open is ignored.
            m_driver.EnableStart(true);
            m_phase = UpgradePhase::Idle;
            m_outcome = UpgradeOutcome::Failed;
            m_driver.ShowMessage(text::kFailureReply);
            return;
        case kStepEnterUpgrade: {
            m_foundBaud = m_searchBaud;
            m_driver.Port().Setup(kTransferBaud, kTransferDataBits, kTransferParity,
                                  kTransferStopBits);
            m_driver.Wait(kSettleAfterFound);
            CCmdFrame command = MakeBeginTransferFrame();
            SendAndRemember(command.Pack(), kCmdFrameSize);
            m_driver.ArmTimer(kResendTimer, kBeginTransferResendPeriod);
            m_state.blockCounter = 0;
            m_phase = UpgradePhase::Handshake;
            break;
        }
        case kStepBeginTransfer:
            m_state.totalBlocks = TotalBlocks(m_image.length);
            SendBlock(0);
            m_state.blockCounter = 1;
            m_driver.ArmTimer(kResendTimer, kResendPeriod);
            m_phase = UpgradePhase::Sending;
            break;
        case kStepDataBlock:
            if (!OnBlockAcknowledged(reply)) {
                return;
            }
            break;
        case kStepFinalBlock: {
            CCmdFrame command = MakeChecksumRequestFrame();
            SendAndRemember(command.Pack(), kCmdFrameSize);
            m_driver.ArmTimer(kResendTimer, kResendPeriod);
            m_phase = UpgradePhase::Verifying;
            break;
        }
        case kStepChecksum: {
            // The board's sum of every block data byte it took, 0xFF fill included, against
            // the sum of the image this upgrade started on.
            m_boardSum = ReplySum(reply);
            if (*m_boardSum != m_image.expectedSum) {
                m_sumRejected = true;
                m_driver.SetStatusText(text::kUpgradeFailed);
                m_phase = UpgradePhase::Stalled;  // Start stays disabled until Stop
                return;
            }
            CCmdFrame command = MakeFinishFrame();
            SendAndRemember(command.Pack(), kCmdFrameSize);
            m_phase = UpgradePhase::Finishing;  // the board's answer ends it; nothing resends
            break;
        }
        case kStepFinish:
            // Reached only while the finish command is the frame in flight
            // (AnswersFrameInFlight).
            m_driver.SetStatusText(text::kUpgradeSucceeded);
            m_driver.SetInfoText(text::kUpgradeSucceeded);
            m_driver.EnableStart(true);
            m_phase = UpgradePhase::Idle;
            m_outcome = UpgradeOutcome::Succeeded;
            break;
        default:
            m_phase = UpgradePhase::Stalled;  // timers stopped, nothing sent
            break;
    }
    UpdateProgress();
}

bool CUpgradeEngine::OnBlockAcknowledged(const CCmdFrame& reply) {
    const uint32_t k = m_state.blockCounter;
    // The acknowledgement carries the counter modulo 65536, so an image of more than 65,536
    // blocks goes on past block 65535.
    if (ReplyBlockNumber(reply) != k % kBlockNumberModulus) {
        m_driver.SetStatusText(text::kUpgradeFailed);
        m_phase = UpgradePhase::Stalled;  // a later matching acknowledgement goes on
        return false;
    }
    // k + 1 <= total rather than k <= total - 1: before any transfer has begun (total 0) an
    // acknowledgement must not start sending blocks the board never asked for.
    if (static_cast<uint64_t>(k) + 1 <= m_state.totalBlocks) {
        SendBlock(k);
        m_state.blockCounter = k + 1;
        m_phase = UpgradePhase::Sending;
    } else {
        // Every block is out: the resend timer repeats whatever went last.
        m_phase = PhaseOfRememberedFrame();
    }
    m_driver.ArmTimer(kResendTimer, kResendPeriod);
    return true;
}

void CUpgradeEngine::SendBlock(uint32_t n) {
    CDataFrame block = static_cast<uint64_t>(n) + 1 < m_state.totalBlocks
                           ? MakeDataBlockFrame(m_image.data, m_image.length, n)
                           : MakeFinalBlockFrame(m_image.data, m_image.length, n);
    SendAndRemember(block.Pack(), kDataFrameSize);
}

void CUpgradeEngine::UpdateProgress() {
    m_driver.SetProgressPos(m_state.blockCounter);
    // Once the final block is out the two are equal and the last "k/n" stays, also after
    // the success text.
    if (m_state.blockCounter != m_state.totalBlocks) {
        char progress[kProgressTextSize];
        std::snprintf(progress, sizeof progress, kProgressFormat, m_state.blockCounter,
                      m_state.totalBlocks);
        m_driver.SetStatusText(progress);
    }
}

void CUpgradeEngine::OnResendTick() {
    if (m_state.resendCount >= kResendsBeforeFailure) {
        m_driver.StopTimer(kResendTimer);
        m_state.resendCount = 0;
        m_driver.EnableStart(true);
        char step[kFailedStepTextSize];
        std::snprintf(step, sizeof step, kFailedStepFormat,
                      static_cast<unsigned>(RememberedStep()));
        m_driver.SetStatusText(std::string(text::kUpgradeFailed) + step);
        m_phase = UpgradePhase::Idle;
        m_outcome = UpgradeOutcome::Failed;
    }
    // The failing tick sends the frame once more as well: five sends in all.
    SendFrame(m_state.rememberedFrame, m_state.rememberedLength);
    ++m_state.resendCount;
    ++m_resends;
}

UpgradePhase CUpgradeEngine::PhaseOfRememberedFrame() const {
    switch (RememberedStep()) {
        case kStepEnterUpgrade:
        case kStepBeginTransfer:
            return UpgradePhase::Handshake;
        case kStepChecksum:
            return UpgradePhase::Verifying;
        case kStepFinish:
            return UpgradePhase::Finishing;
        default:
            return UpgradePhase::Sending;
    }
}

}  // namespace tarvik
