// A drop-down list (no free text) of the values of one port setting: the
// installed ports, bit rates, data bits, stop bits, parity modes or
// flow-control presets. It pre-selects the value a linked port has and, when
// the user picks an item, keeps the value and with AutoApply writes it into
// the port before Change() is emitted.
#pragma once

#include "serial/ComSelect.h"

#include <QComboBox>
#include <memory>
#include <string>

namespace serial {

class TComComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)
    Q_PROPERTY(int ComProperty READ ComPropertyOrdinal WRITE SetComPropertyOrdinal)
    Q_PROPERTY(QString Text READ QText WRITE SetQText)

  public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const { return select_->ComPort(); }
    void SetComPort(TCustomComPort* port) { select_->SetComPort(port); }
    TComProperty ComProperty() const { return select_->ComProperty(); }
    // Refills the list; for cpPort this reads the installed ports (EComPort 23).
    void SetComProperty(TComProperty kind) { select_->SetComProperty(kind); }
    bool AutoApply() const { return select_->AutoApply(); }
    void SetAutoApply(bool v) { select_->SetAutoApply(v); }
    // The selected item's text, empty when nothing is selected.
    std::string Text() const { return select_->Text(); }
    // Selects the item equal to `text` ignoring case; otherwise no change.
    void SetText(const std::string& text) { select_->SetText(text); }

    TComSelect& Selector() { return *select_; }

  signals:
    // The user chose an item; the value is stored (and applied) by now.
    void Change();

  private:
    class Items;
    void UserActivated();
    int ComPropertyOrdinal() const { return ComProperty(); }
    void SetComPropertyOrdinal(int kind);
    QString QText() const { return QString::fromStdString(Text()); }
    void SetQText(const QString& text) { SetText(text.toStdString()); }

    std::unique_ptr<Items> items_;
    std::unique_ptr<TComSelect> select_;
    QMetaObject::Connection activated_;
};

} // namespace serial
