// The four setting objects of a port. A setter stores only a changed value
// and then lets the port re-apply its group (the port decides whether the
// device is open and outside a batch).
#include "serial/ComSettings.h"
#include "serial/CPort.h"

namespace serial {
namespace {

template <typename T> bool Store(T& field, T value) {
    if (field == value) return false;
    field = value;
    return true;
}

} // namespace

// ---------------------------------------------------------------- TComParity

void TComParity::Changed() {
    if (port_) port_->ApplyLineSettings();
}
void TComParity::SetBits(TParityBits v) {
    if (Store(bits_, v)) Changed();
}
void TComParity::SetCheck(bool v) {
    if (Store(check_, v)) Changed();
}
void TComParity::SetReplace(bool v) {
    if (Store(replace_, v)) Changed();
}
void TComParity::SetReplaceChar(uint8_t v) {
    if (Store(replaceChar_, v)) Changed();
}
void TComParity::Assign(const TComParity& other) {
    bits_ = other.bits_;
    check_ = other.check_;
    replace_ = other.replace_;
    replaceChar_ = other.replaceChar_;
}

// ---------------------------------------------------------------- TComFlowControl

void TComFlowControl::Changed() {
    if (port_) port_->ApplyLineSettings();
}
void TComFlowControl::SetOutCTSFlow(bool v) {
    if (Store(outCTSFlow_, v)) Changed();
}
void TComFlowControl::SetOutDSRFlow(bool v) {
    if (Store(outDSRFlow_, v)) Changed();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
    if (Store(controlDTR_, v)) Changed();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
    if (Store(controlRTS_, v)) Changed();
}
void TComFlowControl::SetXonXoffOut(bool v) {
    if (Store(xonXoffOut_, v)) Changed();
}
void TComFlowControl::SetXonXoffIn(bool v) {
    if (Store(xonXoffIn_, v)) Changed();
}
void TComFlowControl::SetDSRSensitivity(bool v) {
    if (Store(dsrSensitivity_, v)) Changed();
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
    if (Store(txContinueOnXoff_, v)) Changed();
}
void TComFlowControl::SetXonChar(uint8_t v) {
    if (Store(xonChar_, v)) Changed();
}
void TComFlowControl::SetXoffChar(uint8_t v) {
    if (Store(xoffChar_, v)) Changed();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        if (v == fcHardware) {
            controlRTS_ = rtsHandshake;
            outCTSFlow_ = true;
        } else if (v == fcSoftware) {
            xonXoffIn_ = true;
            xonXoffOut_ = true;
        }
    }
    Changed();
}

void TComFlowControl::Assign(const TComFlowControl& other) {
    outCTSFlow_ = other.outCTSFlow_;
    outDSRFlow_ = other.outDSRFlow_;
    controlDTR_ = other.controlDTR_;
    controlRTS_ = other.controlRTS_;
    xonXoffOut_ = other.xonXoffOut_;
    xonXoffIn_ = other.xonXoffIn_;
    dsrSensitivity_ = other.dsrSensitivity_;
    txContinueOnXoff_ = other.txContinueOnXoff_;
    xonChar_ = other.xonChar_;
    xoffChar_ = other.xoffChar_;
}

// ---------------------------------------------------------------- TComTimeouts

void TComTimeouts::Changed() {
    if (port_) port_->ApplyTimeoutSettings();
}
void TComTimeouts::SetReadInterval(int32_t v) {
    if (Store(readInterval_, v)) Changed();
}
void TComTimeouts::SetReadTotalMultiplier(int32_t v) {
    if (Store(readTotalMultiplier_, v)) Changed();
}
void TComTimeouts::SetReadTotalConstant(int32_t v) {
    if (Store(readTotalConstant_, v)) Changed();
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t v) {
    if (Store(writeTotalMultiplier_, v)) Changed();
}
void TComTimeouts::SetWriteTotalConstant(int32_t v) {
    if (Store(writeTotalConstant_, v)) Changed();
}
void TComTimeouts::Assign(const TComTimeouts& other) {
    readInterval_ = other.readInterval_;
    readTotalMultiplier_ = other.readTotalMultiplier_;
    readTotalConstant_ = other.readTotalConstant_;
    writeTotalMultiplier_ = other.writeTotalMultiplier_;
    writeTotalConstant_ = other.writeTotalConstant_;
}

// ---------------------------------------------------------------- TComBuffer

namespace {
// Driver queues come in even sizes: an odd positive request is taken one lower.
int32_t EvenSize(int32_t v) {
    return (v > 0 && (v & 1) != 0) ? v - 1 : v;
}
} // namespace

void TComBuffer::Changed() {
    if (port_) port_->ApplyBufferSizes();
}
void TComBuffer::SetInputSize(int32_t v) {
    if (Store(inputSize_, EvenSize(v))) Changed();
}
void TComBuffer::SetOutputSize(int32_t v) {
    if (Store(outputSize_, EvenSize(v))) Changed();
}
void TComBuffer::Assign(const TComBuffer& other) {
    inputSize_ = other.inputSize_;
    outputSize_ = other.outputSize_;
}

} // namespace serial
