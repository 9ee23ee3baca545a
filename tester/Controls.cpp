#include "tester/Controls.h"

#include <QApplication>
#include <QButtonGroup>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

namespace tester {

QColor ButtonFaceColor() {
    return QApplication::palette().color(QPalette::Button);
}

// ---------------------------------------------------------------- TTrackBar

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Vertical, parent) {
    // The minimum belongs at the top, and the arrow keys and wheel move the
    // thumb the way it looks.
    setInvertedAppearance(true);
    setInvertedControls(true);
    connect(this, &QAbstractSlider::actionTriggered, this, &TTrackBar::OnAction);
    connect(this, &QAbstractSlider::sliderReleased, this, &TTrackBar::Change);
}

void TTrackBar::OnAction(int action) {
    if (action == SliderNoAction) return;
    // Qt applies the new position only after this notification; apply it now
    // so that the handler sees the position the user asked for.
    setValue(sliderPosition());
    emit Change();
}

void TTrackBar::SetPosition(int v) {
    v = std::clamp(v, minimum(), maximum());
    if (v == value()) return;
    setValue(v);
    emit Change();
}

void TTrackBar::SetSelStart(int v) {
    v = std::clamp(v, minimum(), maximum());
    if (v == selStart_) return;
    selStart_ = v;
    update();
}

void TTrackBar::SetSelEnd(int v) {
    v = std::clamp(v, minimum(), maximum());
    if (v == selEnd_) return;
    selEnd_ = v;
    update();
}

void TTrackBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QStyleOptionSlider opt;
    initStyleOption(&opt);

    // Groove and tick marks first, then the selection band, then the thumb
    // on top of it, so the commanded speed stays visible beside the target.
    // Some styles fill the groove up to the thumb in the highlight colour;
    // here the highlight belongs to the selection alone.
    QStyleOptionSlider unfilled = opt;
    unfilled.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderTickmarks;
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        unfilled.palette.setColor(g, QPalette::Highlight, palette().color(g, QPalette::Window));
    style()->drawComplexControl(QStyle::CC_Slider, &unfilled, &p, this);

    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    const int span = groove.height() - handle.height();
    auto centreOf = [&](int v) {
        return groove.top() + handle.height() / 2 +
               QStyle::sliderPositionFromValue(minimum(), maximum(), v, span, opt.upsideDown);
    };
    const int a = centreOf(std::min(selStart_, selEnd_));
    const int b = centreOf(std::max(selStart_, selEnd_));
    const int w = std::max(4, groove.width() / 2 + 2);
    const QRect band(groove.center().x() - w / 2, std::min(a, b) - 2, w, std::abs(b - a) + 4);
    p.fillRect(band, palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                     QPalette::Highlight));

    opt.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &opt, &p, this);
}

// ---------------------------------------------------------------- TSpinEdit

TSpinEdit::TSpinEdit(int minValue, int maxValue, QWidget* parent) : QSpinBox(parent) {
    setRange(minValue, maxValue);
    setValue(minValue);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

int TSpinEdit::Value() const {
    return std::clamp(valueFromText(lineEdit()->text()), minimum(), maximum());
}

void TSpinEdit::SetValue(int v) {
    setValue(v);
    // setValue leaves the text alone when the value does not change, but the
    // text may hold something else the user typed.
    lineEdit()->setText(textFromValue(value()));
}

QString TSpinEdit::Text() const {
    return lineEdit()->text();
}

QValidator::State TSpinEdit::validate(QString&, int&) const {
    // Anything may be typed; Value() decides what it stands for.
    return QValidator::Acceptable;
}

int TSpinEdit::valueFromText(const QString& text) const {
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    if (!ok) return 0;
    return static_cast<int>(std::clamp<qlonglong>(v, INT32_MIN, INT32_MAX));
}

void TSpinEdit::fixup(QString&) const {}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    bool ok = false;
    const qlonglong typed = lineEdit()->text().trimmed().toLongLong(&ok);
    QSpinBox::focusOutEvent(event);
    if (ok && (typed < minimum() || typed > maximum())) SetValue(Value());
}

// ---------------------------------------------------------------- TRadioGroup

TRadioGroup::TRadioGroup(const QStringList& items, QWidget* parent)
    : QGroupBox(parent), group_(new QButtonGroup(this)) {
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        group_->addButton(b, i);
    }
    connect(group_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked) emit Click();
    });
    PlaceItems();
}

int TRadioGroup::ItemIndex() const {
    return group_->checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
    if (QAbstractButton* b = group_->button(index)) b->setChecked(true);
}

QRadioButton* TRadioGroup::Item(int index) const {
    return static_cast<QRadioButton*>(group_->button(index));
}

int TRadioGroup::Count() const {
    return static_cast<int>(group_->buttons().size());
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
    QGroupBox::resizeEvent(event);
    PlaceItems();
}

void TRadioGroup::PlaceItems() {
    // The items share the frame's inner height evenly, one per row.
    const int n = Count();
    if (n == 0) return;
    const int inset = 4;
    const int top = title().isEmpty() ? 3 : fontMetrics().height();
    const int rowHeight = std::max(1, (height() - top - inset) / n);
    for (int i = 0; i < n; ++i)
        Item(i)->setGeometry(inset + 4, top + i * rowHeight, width() - 2 * inset - 4, rowHeight);
}

// ---------------------------------------------------------------- TShape

TShape::TShape(QWidget* parent) : QWidget(parent), brush_(ButtonFaceColor()) {}

void TShape::SetBrushColor(const QColor& color) {
    if (color == brush_) return;
    brush_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(brush_);
    const int d = std::min(width(), height()) - 1;
    p.drawEllipse(
        QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d).adjusted(0.5, 0.5, -0.5, -0.5));
}

} // namespace tester
