#include "serial/ComSelect.h"

#include "serial/PortList.h"

namespace serial {
namespace {

const std::vector<std::string>& FixedItems(TComProperty kind) {
    static const std::vector<std::string> none;
    switch (kind) {
    case cpBaudRate:
        return BaudRateNames();
    case cpDataBits:
        return DataBitsNames();
    case cpStopBits:
        return StopBitsNames();
    case cpParity:
        return ParityNames();
    case cpFlowControl:
        return FlowControlNames();
    case cpNone:
    case cpPort:
        break;
    }
    return none;
}

} // namespace

TComSelect::TComSelect(TComItems& items)
    : items_(items), portLister_([](std::vector<std::string>& list) { ListSerialPorts(list); }) {}

TComSelect::~TComSelect() {
    Unlink();
}

void TComSelect::SetPortLister(PortLister lister) {
    portLister_ = std::move(lister);
}

void TComSelect::SetComProperty(TComProperty kind) {
    FillChoiceList(kind);
    if (items_.Count() == 0) return;
    items_.Select(comPort_ ? LocatePortValue() : 0);
}

void TComSelect::SetComPort(TCustomComPort* port) {
    if (port == comPort_) return;
    Unlink();
    comPort_ = port;
    if (comPort_ == nullptr) return;
    noticeKey_ = comPort_->AddFreeNotification([this] { PortDestroyed(); });
    items_.Select(LocatePortValue());
}

void TComSelect::Unlink() {
    if (comPort_ != nullptr) comPort_->RemoveFreeNotification(noticeKey_);
    comPort_ = nullptr;
    noticeKey_ = 0;
}

// Runs while the port is being destroyed: only forget it, it must not be
// touched any more.
void TComSelect::PortDestroyed() {
    comPort_ = nullptr;
    noticeKey_ = 0;
    if (items_.Count() > 0) items_.Select(0);
}

std::string TComSelect::Text() const {
    const int i = items_.Selected();
    return (i >= 0 && i < items_.Count()) ? items_.Text(i) : std::string();
}

void TComSelect::SetText(const std::string& text) {
    for (int i = 0; i < items_.Count(); ++i) {
        if (SameTextNoCase(items_.Text(i), text)) {
            items_.Select(i);
            return;
        }
    }
}

void TComSelect::FillChoiceList(TComProperty kind) {
    comProperty_ = kind;
    items_.Clear();
    if (kind == cpPort) {
        std::vector<std::string> ports;
        portLister_(ports);
        for (const std::string& name : ports)
            items_.Add(name);
        return;
    }
    for (const std::string& text : FixedItems(kind))
        items_.Add(text);
}

void TComSelect::StoreChoice(const std::string& text) {
    switch (comProperty_) {
    case cpNone:
        break;
    case cpPort:
        chosenPort_ = text;
        break;
    case cpBaudRate:
        chosenBaudRate_ = ParseBaudRate(text);
        break;
    case cpDataBits:
        chosenDataBits_ = ParseDataBits(text);
        break;
    case cpStopBits:
        chosenStopBits_ = ParseStopBits(text);
        break;
    case cpParity:
        chosenParity_ = ParseParity(text);
        break;
    case cpFlowControl:
        chosenFlowControl_ = ParseFlowControl(text);
        break;
    }
}

void TComSelect::ApplyChoice() {
    if (comPort_ == nullptr) return;
    switch (comProperty_) {
    case cpNone:
        break;
    case cpPort:
        comPort_->SetPort(chosenPort_);
        break;
    case cpBaudRate:
        comPort_->SetBaudRate(chosenBaudRate_);
        break;
    case cpDataBits:
        comPort_->SetDataBits(chosenDataBits_);
        break;
    case cpStopBits:
        comPort_->SetStopBits(chosenStopBits_);
        break;
    case cpParity:
        comPort_->Parity().SetBits(chosenParity_);
        break;
    case cpFlowControl:
        comPort_->FlowControl().SetFlowControl(chosenFlowControl_);
        break;
    }
}

int TComSelect::LocatePortValue() {
    if (comPort_ == nullptr) return -1;
    std::string value;
    switch (comProperty_) {
    case cpNone:
        return -1;
    case cpPort:
        value = comPort_->Port();
        break;
    case cpBaudRate:
        value = BaudRateName(comPort_->BaudRate());
        break;
    case cpDataBits:
        value = DataBitsName(comPort_->DataBits());
        break;
    case cpStopBits:
        value = StopBitsName(comPort_->StopBits());
        break;
    case cpParity:
        value = ParityName(comPort_->Parity().Bits());
        break;
    case cpFlowControl:
        value = FlowControlName(comPort_->FlowControl().FlowControl());
        break;
    }
    for (int i = 0; i < items_.Count(); ++i) {
        const std::string item = items_.Text(i);
        if (!SameTextNoCase(item, value)) continue;
        // The item's own spelling is what a later ApplyChoice writes back.
        StoreChoice(item);
        return i;
    }
    return -1;
}

void TComSelect::UserChanged() {
    StoreChoice(Text());
    if (autoApply_) ApplyChoice();
}

} // namespace serial
