#include "tester/UnitQuorrin.h"

#include "command_station/MivoComm.h"
#include "frontend/Systems.h"
#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/qt/ComComboBox.h"
#include "tester/UnitSplash.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include <string>
#include <utility>

namespace tester {
namespace {

constexpr int kClientWidth = 489;
constexpr int kClientHeight = 488;
constexpr int kStopped = 31; // the slider's bottom: speed 0

// The lefts of a row of eight bit buttons and of their number labels.
constexpr int kBitLefts[8] = {112, 136, 160, 184, 216, 240, 264, 288};
constexpr int kBitLabelLefts[8] = {117, 140, 165, 190, 220, 244, 269, 292};
constexpr int kProgLefts[8] = {104, 128, 152, 176, 208, 232, 256, 280};
constexpr int kProgLabelLefts[8] = {109, 132, 157, 182, 212, 236, 261, 284};

template <typename W> W* Placed(W* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
    return w;
}

QLabel* Label(QWidget* parent, const char* name, const char* text, int l, int t, int w, int h) {
    auto* label = Placed(new QLabel(QString::fromUtf8(text), parent), name, l, t, w, h);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// A label of fixed size whose text is centred in it.
QLabel* ValueLabel(QWidget* parent, const char* name, int l, int t, int w, int h) {
    auto* label = Placed(new QLabel(QStringLiteral("0"), parent), name, l, t, w, h);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, int l, int t, int w,
                    int h) {
    auto* b = Placed(new QPushButton(QString::fromUtf8(text), parent), name, l, t, w, h);
    b->setAutoDefault(false);
    return b;
}

QCheckBox* CheckBox(QWidget* parent, const char* name, const char* text, int l, int t, int w,
                    int h) {
    return Placed(new QCheckBox(QString::fromUtf8(text), parent), name, l, t, w, h);
}

QGroupBox* GroupBox(QWidget* parent, const char* name, const char* text, int l, int t, int w,
                    int h) {
    return Placed(new QGroupBox(QString::fromUtf8(text), parent), name, l, t, w, h);
}

TTrackBar* TrackBar(QWidget* parent, const char* name, int l, int t) {
    auto* bar = Placed(new TTrackBar(parent), name, l, t, 45, 133);
    bar->setRange(0, 31);
    bar->setPageStep(8);
    bar->setSingleStep(1);
    bar->setTickPosition(QSlider::TicksBothSides);
    bar->setTickInterval(8);
    bar->setValue(kStopped);
    bar->SetSelStart(kStopped);
    bar->SetSelEnd(kStopped);
    return bar;
}

TRadioGroup* Richting(QWidget* parent, const char* name, int l, int t, int w) {
    auto* group =
        Placed(new TRadioGroup({QStringLiteral("Vooruit"), QStringLiteral("Achteruit")}, parent),
               name, l, t, w, 51);
    group->SetItemIndex(0);
    return group;
}

// Hands every mouse press and release on a button to a pair of handlers,
// whichever mouse button it is; a disabled button reports nothing.
class MouseUpDown : public QObject {
  public:
    MouseUpDown(QWidget* target, std::function<void()> down, std::function<void()> up)
        : QObject(target), target_(target), down_(std::move(down)), up_(std::move(up)) {
        target->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == target_ && target_->isEnabled()) {
            switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                down_();
                break;
            case QEvent::MouseButtonRelease:
                up_();
                break;
            default:
                break;
            }
        }
        return false;
    }

  private:
    QWidget* target_;
    std::function<void()> down_;
    std::function<void()> up_;
};

} // namespace

TFormQuorrin::TFormQuorrin(QWidget* parent)
    : TFormQuorrin(*frontend::FindSystem("selectrix"), parent) {}

TFormQuorrin::TFormQuorrin(const frontend::SystemInfo& system, QWidget* parent)
    : QWidget(parent), system_(&system) {
    setObjectName(QStringLiteral("FormQuorrin"));
    setWindowTitle(QStringLiteral("Quorrin"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    QPalette pal = palette();
    pal.setColor(QPalette::Window, ButtonFaceColor());
    setPalette(pal);
    setAutoFillBackground(true);

    // An 11-pixel sans serif, drawn a little narrower than it comes, so that
    // each caption fits the room its control has.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    font.setStretch(90);
    setFont(font);

    BuildTopStrip();
    BuildLocomotivePanel();
    BuildProgrammingBox();
    BuildFunctionPanel();
    BuildFeedbackPanel();
    if (!IsSelectrix()) AdaptToSystem();
    SetTabOrder();
    ConnectHandlers();

    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }

    FormCreate();
    Timer1->start();
}

TFormQuorrin::~TFormQuorrin() {
    // Closing the port may still put power-off on the line; a failure there
    // is reported like any other, but the window goes regardless.
    try {
        FormDestroy();
    } catch (...) {
        platform::Host().ReportException(std::current_exception());
    }
}

// ------------------------------------------------------------------ layout

void TFormQuorrin::BuildTopStrip() {
    QFont bold = font();
    bold.setPixelSize(13);
    bold.setBold(true);

    LabelPoort = Label(this, "LabelPoort", "COM poort", 8, 10, 74, 16);
    LabelPoort->setFont(bold);
    ComComboBoxPort = Placed(new serial::TComComboBox(this), "ComComboBoxPort", 96, 8, 97, 21);
    // The list is read now, as the window is built; a failure ends start-up.
    ComComboBoxPort->SetComProperty(serial::cpPort);
    ComComboBoxPort->setCurrentIndex(-1);
    ComComboBoxPort->SetText("COM1");

    LabelBaud = Label(this, "LabelBaud", "Baudrate", 8, 38, 64, 16);
    LabelBaud->setFont(bold);
    ComboBoxBaud = Placed(new QComboBox(this), "ComboBoxBaud", 96, 36, 97, 21);
    ComboBoxBaud->setEditable(false);
    ComboBoxBaud->addItems({QStringLiteral("19200"), QStringLiteral("9600"), QStringLiteral("4800"),
                            QStringLiteral("2400")});
    ComboBoxBaud->setCurrentIndex(-1);

    CheckBoxMeldTijd = CheckBox(this, "CheckBoxMeldTijd", "Meld tijden", 240, 6, 73, 17);
    CheckBoxPoortOpen = CheckBox(this, "CheckBoxPoortOpen", "Poort open", 240, 24, 76, 17);
    CheckBoxCC2000Aan =
        CheckBox(this, "CheckBoxCC2000Aan", "Centrale eenheid aan", 240, 42, 129, 17);
    ButtonPoortOpen = Button(this, "ButtonPoortOpen", "Is poort open?", 380, 6, 84, 25);
    ButtonVerbindingOke = Button(this, "ButtonVerbindingOke", "Verbinding oke?", 380, 36, 84, 25);

    GroupBoxLocomotief = GroupBox(this, "GroupBoxLocomotief", "Locomotiefdecoder", 7, 64, 474, 257);
    GroupBoxFunctie = GroupBox(this, "GroupBoxFunctie", "Functiedecoder", 7, 322, 474, 79);
    GroupBoxTerugmeld = GroupBox(this, "GroupBoxTerugmeld", "Terugmeldunit", 7, 403, 474, 78);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
}

void TFormQuorrin::BuildLocomotivePanel() {
    QWidget* g = GroupBoxLocomotief;
    SpnLoc_TrackBar1 = TrackBar(g, "SpnLoc_TrackBar1", 24, 12);
    rgr_richting1 = Richting(g, "rgr_richting1", 92, 12, 77);
    chk_licht1 = CheckBox(g, "chk_licht1", "Licht", 98, 64, 65, 17);
    ckbFunctie1 = CheckBox(g, "ckbFunctie1", "Functie", 98, 80, 63, 17);
    Button1Functie = Button(g, "Button1Functie", "", 156, 82, 20, 12);
    LabelAdrLoc1 = Label(g, "LabelAdrLoc1", "Adresnummer", 97, 114, 64, 13);
    spn_locadres1 = Placed(new TSpinEdit(0, 111, g), "spn_locadres1", 104, 130, 48, 22);
    Button1 = Button(g, "Button1", "Stop", 28, 140, 37, 17);

    SpnLoc_TrackBar2 = TrackBar(g, "SpnLoc_TrackBar2", 192, 12);
    rgr_richting2 = Richting(g, "rgr_richting2", 258, 12, 79);
    chk_licht2 = CheckBox(g, "chk_licht2", "Licht", 264, 64, 65, 17);
    ckbFunctie2 = CheckBox(g, "ckbFunctie2", "Functie", 264, 80, 65, 17);
    Button2Functie = Button(g, "Button2Functie", "", 322, 82, 20, 12);
    LabelAdrLoc2 = Label(g, "LabelAdrLoc2", "Adresnummer", 263, 114, 64, 13);
    spn_locadres2 = Placed(new TSpinEdit(0, 111, g), "spn_locadres2", 270, 130, 48, 22);
    Button2 = Button(g, "Button2", "Stop", 196, 140, 37, 17);

    ButtonLocSend = Button(g, "ButtonLocSend", "Verstuur", 372, 32, 84, 25);
    ButtonLocSend2 = Button(g, "ButtonLocSend2", "Verstuur beide", 372, 62, 84, 25);
    Button3Stop = Button(g, "Button3Stop", "Stop beide", 372, 120, 83, 25);
}

void TFormQuorrin::BuildProgrammingBox() {
    GroupBoxLocProgram =
        GroupBox(GroupBoxLocomotief, "GroupBoxLocProgram", "Programmeren", 8, 160, 457, 89);
    QWidget* g = GroupBoxLocProgram;
    QLabel** labels[8] = {&LabelProg1, &LabelProg2, &LabelProg3, &LabelProg4,
                          &LabelProg5, &LabelProg6, &LabelProg7, &LabelProg8};
    QPushButton** row104[8] = {&Buttonvar11, &Buttonvar12, &Buttonvar13, &Buttonvar14,
                               &Buttonvar15, &Buttonvar16, &Buttonvar17, &Buttonvar18};
    QPushButton** row105[8] = {&Buttonvar21, &Buttonvar22, &Buttonvar23, &Buttonvar24,
                               &Buttonvar25, &Buttonvar26, &Buttonvar27, &Buttonvar28};
    for (int k = 0; k < 8; ++k) {
        const std::string digit = std::to_string(k + 1);
        *labels[k] =
            Label(g, ("LabelProg" + digit).c_str(), digit.c_str(), kProgLabelLefts[k], 14, 6, 13);
        *row104[k] = Button(g, ("Buttonvar1" + digit).c_str(), "0", kProgLefts[k], 32, 17, 17);
        *row105[k] = Button(g, ("Buttonvar2" + digit).c_str(), "0", kProgLefts[k], 56, 17, 17);
    }
    LabelAdr104 = Label(g, "LabelAdr104", "Adres 104", 24, 32, 48, 13);
    LabelProg104 = Label(g, "LabelProg104", "=", 310, 32, 6, 13);
    LabelVal104 = ValueLabel(g, "LabelVal104", 327, 32, 31, 13);
    LabelAdr105 = Label(g, "LabelAdr105", "Adres 105", 24, 56, 48, 13);
    LabelProg105 = Label(g, "LabelProg105", "=", 310, 56, 6, 13);
    LabelVal105 = ValueLabel(g, "LabelVal105", 327, 56, 31, 13);
    ButtonVerify = Button(g, "ButtonVerify", "Verify", 364, 16, 84, 25);
    ButtonProgram = Button(g, "ButtonProgram", "Programmeren", 364, 46, 84, 25);
}

void TFormQuorrin::BuildFunctionPanel() {
    QWidget* g = GroupBoxFunctie;
    LabelAdrFunc = Label(g, "LabelAdrFunc", "Adres", 25, 18, 27, 13);
    spn_funcadres = Placed(new TSpinEdit(0, 111, g), "spn_funcadres", 20, 39, 42, 22);
    ButtonClear = Button(g, "ButtonClear", "Clear", 72, 24, 30, 17);
    ButtonSet = Button(g, "ButtonSet", "Set", 72, 48, 30, 17);
    QLabel** labels[8] = {&LabelFunc1, &LabelFunc2, &LabelFunc3, &LabelFunc4,
                          &LabelFunc5, &LabelFunc6, &LabelFunc7, &LabelFunc8};
    QPushButton** buttons[8] = {&ButtonFunc1, &ButtonFunc2, &ButtonFunc3, &ButtonFunc4,
                                &ButtonFunc5, &ButtonFunc6, &ButtonFunc7, &ButtonFunc8};
    for (int k = 0; k < 8; ++k) {
        const std::string digit = std::to_string(k + 1);
        *labels[k] =
            Label(g, ("LabelFunc" + digit).c_str(), digit.c_str(), kBitLabelLefts[k], 22, 6, 13);
        *buttons[k] = Button(g, ("ButtonFunc" + digit).c_str(), "0", kBitLefts[k], 40, 17, 17);
    }
    LabelFunc = Label(g, "LabelFunc", "=", 320, 40, 6, 13);
    Label24 = ValueLabel(g, "Label24", 336, 40, 31, 13);
    ButtonVerstuur = Button(g, "ButtonVerstuur", "Verstuur", 372, 14, 84, 25);
    CheckBoxSchrijfCont = CheckBox(g, "CheckBoxSchrijfCont", "Continue", 382, 48, 65, 17);
}

void TFormQuorrin::BuildFeedbackPanel() {
    QWidget* g = GroupBoxTerugmeld;
    LabelAdrTerug = Label(g, "LabelAdrTerug", "Adres", 25, 20, 27, 13);
    spn_bezetadres = Placed(new TSpinEdit(0, 127, g), "spn_bezetadres", 20, 41, 42, 22);
    QLabel** labels[8] = {&LabelTerug1, &LabelTerug2, &LabelTerug3, &LabelTerug4,
                          &LabelTerug5, &LabelTerug6, &LabelTerug7, &LabelTerug8};
    TShape** shapes[8] = {&ShapeTerug1, &ShapeTerug2, &ShapeTerug3, &ShapeTerug4,
                          &ShapeTerug5, &ShapeTerug6, &ShapeTerug7, &ShapeTerug8};
    for (int k = 0; k < 8; ++k) {
        const std::string digit = std::to_string(k + 1);
        *labels[k] =
            Label(g, ("LabelTerug" + digit).c_str(), digit.c_str(), kBitLabelLefts[k], 22, 6, 13);
        *shapes[k] =
            Placed(new TShape(g), ("ShapeTerug" + digit).c_str(), kBitLefts[k], 40, 17, 17);
    }
    LabelTerug = Label(g, "LabelTerug", "=", 320, 38, 6, 13);
    lbl_bezetnr = ValueLabel(g, "lbl_bezetnr", 336, 38, 31, 13);
    ButtonLees = Button(g, "ButtonLees", "Lees", 372, 14, 84, 25);
    CheckBoxLeesCont = CheckBox(g, "CheckBoxLeesCont", "Continue", 382, 48, 65, 17);
}

void TFormQuorrin::SetTabOrder() {
    std::vector<QWidget*> order = {ButtonPoortOpen, ButtonVerbindingOke, ComboBoxBaud,
                                   // Locomotiefdecoder
                                   SpnLoc_TrackBar1, spn_locadres1, chk_licht1,
                                   rgr_richting1->Item(0), rgr_richting1->Item(1), SpnLoc_TrackBar2,
                                   spn_locadres2, chk_licht2, rgr_richting2->Item(0),
                                   rgr_richting2->Item(1), ButtonLocSend, ButtonLocSend2,
                                   // Programmeren
                                   ButtonVerify, ButtonProgram};
    for (QPushButton* b : Var104Buttons())
        order.push_back(b);
    for (QPushButton* b : Var105Buttons())
        order.push_back(b);
    for (QWidget* w : {static_cast<QWidget*>(ckbFunctie2), static_cast<QWidget*>(ckbFunctie1),
                       static_cast<QWidget*>(Button1Functie), static_cast<QWidget*>(Button2Functie),
                       static_cast<QWidget*>(Button1), static_cast<QWidget*>(Button2),
                       static_cast<QWidget*>(Button3Stop),
                       // Functiedecoder
                       static_cast<QWidget*>(ButtonVerstuur), static_cast<QWidget*>(spn_funcadres),
                       static_cast<QWidget*>(CheckBoxSchrijfCont)})
        order.push_back(w);
    for (QPushButton* b : FuncButtons())
        order.push_back(b);
    for (QWidget* w :
         {static_cast<QWidget*>(ButtonClear), static_cast<QWidget*>(ButtonSet),
          // Terugmeldunit
          static_cast<QWidget*>(ButtonLees), static_cast<QWidget*>(spn_bezetadres),
          static_cast<QWidget*>(CheckBoxLeesCont),
          // the rest of the top strip
          static_cast<QWidget*>(CheckBoxPoortOpen), static_cast<QWidget*>(CheckBoxCC2000Aan),
          static_cast<QWidget*>(CheckBoxMeldTijd), static_cast<QWidget*>(ComComboBoxPort)})
        order.push_back(w);
    for (size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    // Focus starts on the first control of the order.
    ButtonPoortOpen->setFocus(Qt::OtherFocusReason);
}

void TFormQuorrin::ConnectHandlers() {
    auto bind = [this](auto* sender, auto signal, void (TFormQuorrin::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    };
    auto bindSender = [this](QPushButton* sender, void (TFormQuorrin::*handler)(QPushButton*)) {
        connect(sender, &QPushButton::clicked, this, [this, sender, handler] {
            Guarded([this, handler, sender] { (this->*handler)(sender); });
        });
    };

    // start-up and connection strip
    bind(ComComboBoxPort, &serial::TComComboBox::Change, &TFormQuorrin::ComComboBoxPortChange);
    bind(ComboBoxBaud, &QComboBox::activated, &TFormQuorrin::ComboBoxBaudChange);
    bind(CheckBoxPoortOpen, &QCheckBox::toggled, &TFormQuorrin::CheckBoxPoortOpenClick);
    bind(ButtonPoortOpen, &QPushButton::clicked, &TFormQuorrin::ButtonPoortOpenClick);
    bind(ButtonVerbindingOke, &QPushButton::clicked, &TFormQuorrin::ButtonVerbindingOkeClick);
    bind(CheckBoxCC2000Aan, &QCheckBox::toggled, &TFormQuorrin::CheckBoxCC2000AanClick);

    // locomotive panel
    bind(SpnLoc_TrackBar1, &TTrackBar::Change, &TFormQuorrin::SpnLoc_TrackBar1Change);
    bind(rgr_richting1, &TRadioGroup::Click, &TFormQuorrin::SpnLoc_TrackBar1Change);
    bind(chk_licht1, &QCheckBox::toggled, &TFormQuorrin::SpnLoc_TrackBar1Change);
    bind(ckbFunctie1, &QCheckBox::toggled, &TFormQuorrin::SpnLoc_TrackBar1Change);
    bind(SpnLoc_TrackBar2, &TTrackBar::Change, &TFormQuorrin::SpnLoc_TrackBar2Change);
    bind(rgr_richting2, &TRadioGroup::Click, &TFormQuorrin::SpnLoc_TrackBar2Change);
    bind(chk_licht2, &QCheckBox::toggled, &TFormQuorrin::SpnLoc_TrackBar2Change);
    bind(ckbFunctie2, &QCheckBox::toggled, &TFormQuorrin::SpnLoc_TrackBar2Change);
    bind(ButtonLocSend, &QPushButton::clicked, &TFormQuorrin::ButtonLocSendClick);
    bind(ButtonLocSend2, &QPushButton::clicked, &TFormQuorrin::ButtonLocSend2Click);
    bind(Button1, &QPushButton::clicked, &TFormQuorrin::Button1Click);
    bind(Button2, &QPushButton::clicked, &TFormQuorrin::Button2Click);
    bind(Button3Stop, &QPushButton::clicked, &TFormQuorrin::Button3StopClick);
    new MouseUpDown(
        Button1Functie, [this] { Guarded([this] { Button1FunctieMouseDown(); }); },
        [this] { Guarded([this] { Button1FunctieMouseUp(); }); });
    new MouseUpDown(
        Button2Functie, [this] { Guarded([this] { Button2FunctieMouseDown(); }); },
        [this] { Guarded([this] { Button2FunctieMouseUp(); }); });

    // function decoder, feedback unit and the timer
    for (QPushButton* b : FuncButtons())
        bindSender(b, &TFormQuorrin::ButtonVarAdrClick);
    bind(ButtonClear, &QPushButton::clicked, &TFormQuorrin::ButtonClearClick);
    bind(ButtonSet, &QPushButton::clicked, &TFormQuorrin::ButtonSetClick);
    bind(ButtonVerstuur, &QPushButton::clicked, &TFormQuorrin::ButtonVerstuurClick);
    bind(CheckBoxSchrijfCont, &QCheckBox::toggled, &TFormQuorrin::CheckBoxSchrijfContClick);
    bind(ButtonLees, &QPushButton::clicked, &TFormQuorrin::ButtonLeesClick);
    bind(CheckBoxLeesCont, &QCheckBox::toggled, &TFormQuorrin::CheckBoxLeesContClick);
    bind(Timer1, &QTimer::timeout, &TFormQuorrin::Timer1Timer);

    // programming box
    for (QPushButton* b : Var104Buttons())
        bindSender(b, &TFormQuorrin::Buttonvar104Click);
    for (QPushButton* b : Var105Buttons())
        bindSender(b, &TFormQuorrin::ButtonVar105Click);
    bind(ButtonVerify, &QPushButton::clicked, &TFormQuorrin::ButtonVerifyClick);
    bind(ButtonProgram, &QPushButton::clicked, &TFormQuorrin::ButtonProgramClick);
}

std::array<QPushButton*, 8> TFormQuorrin::FuncButtons() const {
    return {ButtonFunc1, ButtonFunc2, ButtonFunc3, ButtonFunc4,
            ButtonFunc5, ButtonFunc6, ButtonFunc7, ButtonFunc8};
}

std::array<QPushButton*, 8> TFormQuorrin::Var104Buttons() const {
    return {Buttonvar11, Buttonvar12, Buttonvar13, Buttonvar14,
            Buttonvar15, Buttonvar16, Buttonvar17, Buttonvar18};
}

std::array<QPushButton*, 8> TFormQuorrin::Var105Buttons() const {
    return {Buttonvar21, Buttonvar22, Buttonvar23, Buttonvar24,
            Buttonvar25, Buttonvar26, Buttonvar27, Buttonvar28};
}

std::array<TShape*, 8> TFormQuorrin::TerugShapes() const {
    return {ShapeTerug1, ShapeTerug2, ShapeTerug3, ShapeTerug4,
            ShapeTerug5, ShapeTerug6, ShapeTerug7, ShapeTerug8};
}

std::array<QWidget*, 21> TFormQuorrin::ConnectionControls() const {
    return {ButtonVerbindingOke, ButtonLocSend,    ButtonLocSend2,   ButtonVerify,
            ButtonProgram,       ButtonVerstuur,   ButtonLees,       CheckBoxLeesCont,
            CheckBoxSchrijfCont, SpnLoc_TrackBar1, rgr_richting1,    chk_licht1,
            ckbFunctie1,         Button1Functie,   SpnLoc_TrackBar2, rgr_richting2,
            chk_licht2,          ckbFunctie2,      Button2Functie,   Button3Stop,
            CheckBoxCC2000Aan};
}

// ------------------------------------------------------------- error report

void TFormQuorrin::Guarded(const std::function<void()>& handler) {
    // The handler runs as an outermost handler: program-made changes inside
    // it start their own nesting.
    const int outer = std::exchange(programmaticDepth_, 0);
    try {
        handler();
    } catch (...) {
        programmaticDepth_ = outer;
        if (outer > 0) {
            // A change made by program code: the error belongs to that code.
            if (!programmaticError_) programmaticError_ = std::current_exception();
            return;
        }
        platform::Host().ReportException(std::current_exception());
        return;
    }
    programmaticDepth_ = outer;
}

void TFormQuorrin::Programmatic(const std::function<void()>& change) {
    ++programmaticDepth_;
    try {
        change();
    } catch (...) {
        --programmaticDepth_;
        throw;
    }
    --programmaticDepth_;
    if (programmaticError_) std::rethrow_exception(std::exchange(programmaticError_, nullptr));
}

// ---------------------------------------------- start-up and connection strip

void TFormQuorrin::FormCreate() {
    MivoCom1 = std::make_unique<command_station::TMivoCom>(this);
    ComboBoxBaud->setCurrentIndex(1);
    ComboBoxBaudChange();
    MivoCom1->SetDigitaalSysteem(System().number);
    if (!IsSelectrix()) InstallSystemEvents();
}

bool TFormQuorrin::IsSelectrix() const {
    return System().number == command_station::dsSelectrix;
}

int TFormQuorrin::Stopped() const {
    return SpnLoc_TrackBar1->maximum();
}

void TFormQuorrin::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Guarded([this] { FormShow(); });
}

void TFormQuorrin::FormShow() {
    if (!SplashScreen) return;
    // The splash stays up for a second; the window takes no messages meanwhile.
    const platform::Deadline hold = platform::Deadline::After(1000);
    while (!hold.Reached())
        platform::Sleep(hold.Remaining());
    SplashScreen->Release();
    SplashScreen = nullptr;
}

void TFormQuorrin::FormDestroy() {
    // No tick may reach a component that is going away.
    if (Timer1) Timer1->stop();
    MivoCom1.reset();
}

void TFormQuorrin::ComComboBoxPortChange() {
    if (!IsSelectrix()) StopContinuous();
    MivoCom1->SetPort(ComComboBoxPort->Text());
}

void TFormQuorrin::ComboBoxBaudChange() {
    if (!IsSelectrix()) StopContinuous();
    Programmatic([this] { CheckBoxPoortOpen->setChecked(false); });
    CheckBoxPoortOpenClick();
    switch (ComboBoxBaud->currentIndex()) {
    case 0:
        MivoCom1->SetBaudRate(serial::br19200);
        break;
    case 1:
        MivoCom1->SetBaudRate(serial::br9600);
        break;
    case 2:
        MivoCom1->SetBaudRate(serial::br4800);
        break;
    case 3:
        MivoCom1->SetBaudRate(serial::br2400);
        break;
    default:
        break;
    }
}

void TFormQuorrin::CheckBoxPoortOpenClick() {
    for (QWidget* w : ConnectionControls())
        w->setEnabled(false);
    if (!CheckBoxPoortOpen->isChecked()) {
        MivoCom1->ClosePort();
        return;
    }
    MivoCom1->OpenPort();
    if (!MivoCom1->Connected()) return;
    if (!IsSelectrix()) InitialiseInterface();
    for (QWidget* w : ConnectionControls())
        w->setEnabled(true);
    if (!IsSelectrix()) DisableWhatTheSystemLacks();
}

void TFormQuorrin::ButtonPoortOpenClick() {
    if (MivoCom1->Connected())
        platform::Host().ShowMessage("Poort is open");
    else
        platform::Host().ShowError("Poort is dicht");
}

void TFormQuorrin::ButtonVerbindingOkeClick() {
    // The DINAMO counts as answering without a word; its link says more.
    if (System().cycled ? MivoCom1->InitSysteem() : MivoCom1->GetVerbindingOke()) {
        platform::Host().ShowMessage("Verbinding oke");
        return;
    }
    Programmatic([this] { CheckBoxCC2000Aan->setChecked(false); });
    platform::Host().ShowError("Verbinding niet oke");
}

void TFormQuorrin::CheckBoxCC2000AanClick() {
    if (CheckBoxCC2000Aan->isChecked()) {
        // An interface that is not ready takes no power-on (Märklin,
        // Intellibox): the box says so instead of claiming it.
        if (!MivoCom1->ZetSysteemAan() && !IsSelectrix()) ShowPowerState(false);
    } else
        MivoCom1->ZetSysteemUit();
}

// ------------------------------------------------------------ locomotives

void TFormQuorrin::StuurLoc(int side) {
    TTrackBar* bar = side == 1 ? SpnLoc_TrackBar1 : SpnLoc_TrackBar2;
    TSpinEdit* adres = side == 1 ? spn_locadres1 : spn_locadres2;
    QCheckBox* licht = side == 1 ? chk_licht1 : chk_licht2;
    TRadioGroup* richting = side == 1 ? rgr_richting1 : rgr_richting2;
    QCheckBox* functie = side == 1 ? ckbFunctie1 : ckbFunctie2;
    const command_station::TFuncties functies = {functie->isChecked(), false, false, false};
    const bool vooruit = richting->ItemIndex() == 0;
    if (!IsSelectrix()) ChangeDirectionIfAsked(side, vooruit);
    std::string resultaat;
    MivoCom1->StuurLoc(static_cast<uint16_t>(adres->Value()),
                       static_cast<uint8_t>(Stopped() - bar->SelStart()), licht->isChecked(),
                       vooruit, functies, System().panel.lenzSteps, System().panel.ibSteps, false,
                       resultaat);
}

void TFormQuorrin::StuurLoc1() {
    StuurLoc(1);
}
void TFormQuorrin::StuurLoc2() {
    StuurLoc(2);
}

void TFormQuorrin::ShowElapsed(uint32_t start) {
    if (CheckBoxMeldTijd->isChecked())
        platform::Host().ShowMessage(std::to_string(platform::ElapsedSince(start)));
}

void TFormQuorrin::SpnLoc_TrackBar1Change() {
    const uint32_t start = platform::GetTickCount();
    StuurLoc1();
    ShowElapsed(start);
}

void TFormQuorrin::SpnLoc_TrackBar2Change() {
    const uint32_t start = platform::GetTickCount();
    StuurLoc1();
    StuurLoc2();
    ShowElapsed(start);
}

void TFormQuorrin::ButtonLocSendClick() {
    SpnLoc_TrackBar1->SetSelStart(SpnLoc_TrackBar1->Position());
    SpnLoc_TrackBar1Change();
}

void TFormQuorrin::ButtonLocSend2Click() {
    SpnLoc_TrackBar1->SetSelStart(SpnLoc_TrackBar1->Position());
    SpnLoc_TrackBar2->SetSelStart(SpnLoc_TrackBar2->Position());
    SpnLoc_TrackBar2Change();
}

void TFormQuorrin::Button1Click() {
    if (SpnLoc_TrackBar1->Position() == Stopped()) return;
    SpnLoc_TrackBar1->SetSelStart(Stopped() - 1);
    Programmatic([this] { SpnLoc_TrackBar1->SetPosition(Stopped()); });
}

void TFormQuorrin::Button2Click() {
    if (SpnLoc_TrackBar2->Position() == Stopped()) return;
    SpnLoc_TrackBar2->SetSelStart(Stopped() - 1);
    Programmatic([this] { SpnLoc_TrackBar2->SetPosition(Stopped()); });
}

void TFormQuorrin::Button3StopClick() {
    Button1Click();
    Button2Click();
}

void TFormQuorrin::Button1FunctieMouseDown() {
    Programmatic([this] { ckbFunctie1->setChecked(true); });
    SpnLoc_TrackBar1Change();
}

void TFormQuorrin::Button1FunctieMouseUp() {
    Programmatic([this] { ckbFunctie1->setChecked(false); });
    SpnLoc_TrackBar1Change();
}

void TFormQuorrin::Button2FunctieMouseDown() {
    Programmatic([this] { ckbFunctie2->setChecked(true); });
    SpnLoc_TrackBar2Change();
}

void TFormQuorrin::Button2FunctieMouseUp() {
    Programmatic([this] { ckbFunctie2->setChecked(false); });
    SpnLoc_TrackBar2Change();
}

void TFormQuorrin::RampStep(TTrackBar* bar, int side) {
    const int current = bar->SelStart();
    const int target = bar->Position();
    if (current == target) return;
    bar->SetSelStart(current < target ? current + 1 : current - 1);
    StuurLoc(side);
}

void TFormQuorrin::RampStep1() {
    RampStep(SpnLoc_TrackBar1, 1);
}
void TFormQuorrin::RampStep2() {
    RampStep(SpnLoc_TrackBar2, 2);
}

} // namespace tester
