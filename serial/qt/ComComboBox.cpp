#include "serial/qt/ComComboBox.h"

#include "platform/Host.h"

namespace serial {

class TComComboBox::Items : public TComItems {
  public:
    explicit Items(QComboBox& box) : box_(box) {}
    void Clear() override { box_.clear(); }
    void Add(const std::string& text) override { box_.addItem(QString::fromStdString(text)); }
    int Count() const override { return box_.count(); }
    std::string Text(int index) const override { return box_.itemText(index).toStdString(); }
    void Select(int index) override { box_.setCurrentIndex(index); }
    int Selected() const override { return box_.currentIndex(); }

  private:
    QComboBox& box_;
};

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), items_(std::make_unique<Items>(*this)),
      select_(std::make_unique<TComSelect>(*items_)) {
    setEditable(false);
    // `activated` is the user's choice by mouse or keyboard; selections made
    // by the program (linking, refilling) must not store or apply anything.
    activated_ = connect(this, &QComboBox::activated, this, &TComComboBox::UserActivated);
}

TComComboBox::~TComComboBox() {
    // The base's destruction must not reach a selector that is already gone.
    disconnect(activated_);
}

void TComComboBox::SetComPropertyOrdinal(int kind) {
    if (kind >= cpNone && kind <= cpFlowControl) SetComProperty(static_cast<TComProperty>(kind));
}

void TComComboBox::UserActivated() {
    // An exception must not unwind through Qt's event dispatch; a failed apply
    // (a port that cannot be re-opened) goes to the error report instead, and
    // then Change() is not emitted, as the choice did not take effect.
    try {
        select_->UserChanged();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
        return;
    }
    emit Change();
}

} // namespace serial
