// The logic of a port-setting selector: which values a list shows, which one
// a linked port currently has, and what the user's choice does to the port.
// Free of any toolkit: the list it fills is reached through TComItems, which
// a combo box (serial/qt/ComComboBox.h) or a plain test list implements.
#pragma once

#include "serial/CPort.h"

#include <functional>
#include <string>
#include <vector>

namespace serial {

// Which setting a selector lists.
enum TComProperty : uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};

// The item list of a selector control.
class TComItems {
  public:
    virtual ~TComItems() = default;
    virtual void Clear() = 0;
    virtual void Add(const std::string& text) = 0;
    virtual int Count() const = 0;
    virtual std::string Text(int index) const = 0;
    // Selects item `index`; -1 selects nothing.
    virtual void Select(int index) = 0;
    // The selected item, -1 when none.
    virtual int Selected() const = 0;
};

class TComSelect {
  public:
    // `items` is the control's list; not owned, must outlive this object.
    explicit TComSelect(TComItems& items);
    // Withdraws the notice asked of a linked port.
    ~TComSelect();
    TComSelect(const TComSelect&) = delete;
    TComSelect& operator=(const TComSelect&) = delete;

    // --- the control's properties
    TComProperty ComProperty() const { return comProperty_; }
    // Refills the list (also for the same kind: that is how the port list
    // is refreshed) and selects the linked port's value, or item 0 unlinked.
    void SetComProperty(TComProperty kind);
    TCustomComPort* ComPort() const { return comPort_; }
    // Links a port (not owned) and selects its current value; the link is
    // dropped by itself when the port is destroyed.
    void SetComPort(TCustomComPort* port);
    bool AutoApply() const { return autoApply_; }
    void SetAutoApply(bool v) { autoApply_ = v; }
    // The selected item's text, empty when nothing is selected.
    std::string Text() const;
    // Selects the item that equals `text` ignoring case; no such item: no change.
    void SetText(const std::string& text);

    // --- the steps
    // Remembers the kind and fills the list with its values (cpNone: empty).
    // Reading the installed ports may raise EComPort 23.
    void FillChoiceList(TComProperty kind);
    // Keeps `text` as the chosen value of the current kind.
    void StoreChoice(const std::string& text);
    // Writes the chosen value of the current kind into the linked port.
    void ApplyChoice();
    // The index of the item that shows the linked port's current value, -1
    // when there is none (also unlinked or cpNone). When found, that item's
    // value becomes the chosen one.
    int LocatePortValue();

    // The user picked an item: store it and, with AutoApply, apply it. The
    // control then fires its own change notification.
    void UserChanged();

    // Where cpPort takes the installed ports from; ListSerialPorts by default.
    using PortLister = std::function<void(std::vector<std::string>& list)>;
    void SetPortLister(PortLister lister);

    // --- the chosen values
    const std::string& ChosenPort() const { return chosenPort_; }
    TBaudRate ChosenBaudRate() const { return chosenBaudRate_; }
    TDataBits ChosenDataBits() const { return chosenDataBits_; }
    TStopBits ChosenStopBits() const { return chosenStopBits_; }
    TParityBits ChosenParity() const { return chosenParity_; }
    TFlowControl ChosenFlowControl() const { return chosenFlowControl_; }

  private:
    void Unlink();
    void PortDestroyed();

    std::string chosenPort_;
    TBaudRate chosenBaudRate_ = brCustom;
    TDataBits chosenDataBits_ = dbFive;
    TStopBits chosenStopBits_ = sbOneStopBit;
    TParityBits chosenParity_ = prNone;
    TFlowControl chosenFlowControl_ = fcHardware;
    TComItems& items_;
    PortLister portLister_;
    TComProperty comProperty_ = cpNone;
    TCustomComPort* comPort_ = nullptr;
    int noticeKey_ = 0;
    bool autoApply_ = false;
};

} // namespace serial
