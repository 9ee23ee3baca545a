// The window's own control kinds where Qt's stock widgets behave differently
// from what the tester needs: a track bar with a selection range and 0 at the
// top, a number field that takes any text, a radio group with one change
// notification, and a filled circle.
#pragma once

#include <QColor>
#include <QGroupBox>
#include <QSlider>
#include <QSpinBox>
#include <QString>
#include <QStringList>
#include <QWidget>

class QButtonGroup;
class QRadioButton;

namespace tester {

// Vertical track bar: Position 0 is at the top. SelStart..SelEnd is drawn as a
// highlighted band beside the thumb. Change() is emitted on every movement
// notification from the user (each drag step, click, key, wheel step and the
// end of a drag, moved or not) and when the program sets a different Position;
// setting SelStart or SelEnd emits nothing.
class TTrackBar : public QSlider {
    Q_OBJECT
  public:
    explicit TTrackBar(QWidget* parent = nullptr);

    int Position() const { return value(); }
    void SetPosition(int v);
    int SelStart() const { return selStart_; }
    void SetSelStart(int v);
    int SelEnd() const { return selEnd_; }
    void SetSelEnd(int v);

  signals:
    void Change();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void OnAction(int action);
    int selStart_ = 0;
    int selEnd_ = 0;
};

// Number field with up/down buttons. Any text may be typed; Value() reads text
// that is not a number as 0 and keeps the result within the range. A number
// outside the range is written back into range when the field loses focus.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
  public:
    TSpinEdit(int minValue, int maxValue, QWidget* parent = nullptr);

    int Value() const;
    void SetValue(int v);
    QString Text() const;

  protected:
    QValidator::State validate(QString& input, int& pos) const override;
    int valueFromText(const QString& text) const override;
    void fixup(QString& input) const override;
    void focusOutEvent(QFocusEvent* event) override;
};

// A frame holding radio buttons in a column. Click() is emitted whenever the
// selected item changes, by the user or by SetItemIndex.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    TRadioGroup(const QStringList& items, QWidget* parent = nullptr);

    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const;
    int Count() const;

  signals:
    void Click();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void PlaceItems();
    QButtonGroup* group_;
};

// A filled circle with a thin outline.
class TShape : public QWidget {
    Q_OBJECT
  public:
    explicit TShape(QWidget* parent = nullptr);

    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor brush_;
};

// The system's button-face colour.
QColor ButtonFaceColor();

} // namespace tester
