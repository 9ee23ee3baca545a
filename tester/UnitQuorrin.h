// The tester's main window: the connection strip, the locomotive panel with
// its programming box, the function-decoder and feedback panels and the
// 100 ms timer that drives the ramps, the continuous modes and the power box.
//
// Every control is a member named by kind and role and placed at a fixed
// position; every handler is a member function bound to one control event.
// All of it runs on the main thread; a handler's transaction with MivoCom1 is
// synchronous.
#pragma once

#include "tester/Controls.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace command_station {
class TMivoCom;
}
namespace serial {
class TComComboBox;
}
namespace frontend {
struct SystemInfo;
}

namespace tester {

class TFormQuorrin : public QWidget {
    Q_OBJECT
  public:
    // Builds the controls from the layout, then runs FormCreate: the
    // Selectrix window.
    explicit TFormQuorrin(QWidget* parent = nullptr);
    // The same window on another system of the table: its name in the
    // title, its ranges and options, the panels it lacks disabled.
    explicit TFormQuorrin(const frontend::SystemInfo& system, QWidget* parent = nullptr);
    ~TFormQuorrin() override;

    const frontend::SystemInfo& System() const { return *system_; }

    // --- the component
    std::unique_ptr<command_station::TMivoCom> MivoCom1;

    // --- window variables
    int VarAdr = 0;
    int Var104 = 0;
    int Var105 = 0;

    // --- top strip
    QLabel* LabelPoort = nullptr;
    serial::TComComboBox* ComComboBoxPort = nullptr;
    QLabel* LabelBaud = nullptr;
    QComboBox* ComboBoxBaud = nullptr;
    QCheckBox* CheckBoxMeldTijd = nullptr;
    QCheckBox* CheckBoxPoortOpen = nullptr;
    QCheckBox* CheckBoxCC2000Aan = nullptr;
    QPushButton* ButtonPoortOpen = nullptr;
    QPushButton* ButtonVerbindingOke = nullptr;
    QGroupBox* GroupBoxLocomotief = nullptr;
    QGroupBox* GroupBoxFunctie = nullptr;
    QGroupBox* GroupBoxTerugmeld = nullptr;
    QTimer* Timer1 = nullptr;

    // --- locomotive panel (in GroupBoxLocomotief)
    TTrackBar* SpnLoc_TrackBar1 = nullptr;
    TRadioGroup* rgr_richting1 = nullptr;
    QCheckBox* chk_licht1 = nullptr;
    QCheckBox* ckbFunctie1 = nullptr;
    QPushButton* Button1Functie = nullptr;
    QLabel* LabelAdrLoc1 = nullptr;
    TSpinEdit* spn_locadres1 = nullptr;
    QPushButton* Button1 = nullptr;
    TTrackBar* SpnLoc_TrackBar2 = nullptr;
    TRadioGroup* rgr_richting2 = nullptr;
    QCheckBox* chk_licht2 = nullptr;
    QCheckBox* ckbFunctie2 = nullptr;
    QPushButton* Button2Functie = nullptr;
    QLabel* LabelAdrLoc2 = nullptr;
    TSpinEdit* spn_locadres2 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* ButtonLocSend = nullptr;
    QPushButton* ButtonLocSend2 = nullptr;
    QPushButton* Button3Stop = nullptr;

    // --- programming box (in GroupBoxLocomotief)
    QGroupBox* GroupBoxLocProgram = nullptr;
    QLabel *LabelProg1 = nullptr, *LabelProg2 = nullptr, *LabelProg3 = nullptr,
           *LabelProg4 = nullptr, *LabelProg5 = nullptr, *LabelProg6 = nullptr,
           *LabelProg7 = nullptr, *LabelProg8 = nullptr;
    QLabel* LabelAdr104 = nullptr;
    QPushButton *Buttonvar11 = nullptr, *Buttonvar12 = nullptr, *Buttonvar13 = nullptr,
                *Buttonvar14 = nullptr, *Buttonvar15 = nullptr, *Buttonvar16 = nullptr,
                *Buttonvar17 = nullptr, *Buttonvar18 = nullptr;
    QLabel* LabelProg104 = nullptr;
    QLabel* LabelVal104 = nullptr;
    QLabel* LabelAdr105 = nullptr;
    QPushButton *Buttonvar21 = nullptr, *Buttonvar22 = nullptr, *Buttonvar23 = nullptr,
                *Buttonvar24 = nullptr, *Buttonvar25 = nullptr, *Buttonvar26 = nullptr,
                *Buttonvar27 = nullptr, *Buttonvar28 = nullptr;
    QLabel* LabelProg105 = nullptr;
    QLabel* LabelVal105 = nullptr;
    QPushButton* ButtonVerify = nullptr;
    QPushButton* ButtonProgram = nullptr;

    // --- function decoder (in GroupBoxFunctie)
    QLabel* LabelAdrFunc = nullptr;
    TSpinEdit* spn_funcadres = nullptr;
    QPushButton* ButtonClear = nullptr;
    QPushButton* ButtonSet = nullptr;
    QLabel *LabelFunc1 = nullptr, *LabelFunc2 = nullptr, *LabelFunc3 = nullptr,
           *LabelFunc4 = nullptr, *LabelFunc5 = nullptr, *LabelFunc6 = nullptr,
           *LabelFunc7 = nullptr, *LabelFunc8 = nullptr;
    QPushButton *ButtonFunc1 = nullptr, *ButtonFunc2 = nullptr, *ButtonFunc3 = nullptr,
                *ButtonFunc4 = nullptr, *ButtonFunc5 = nullptr, *ButtonFunc6 = nullptr,
                *ButtonFunc7 = nullptr, *ButtonFunc8 = nullptr;
    QLabel* LabelFunc = nullptr;
    QLabel* Label24 = nullptr;
    QPushButton* ButtonVerstuur = nullptr;
    QCheckBox* CheckBoxSchrijfCont = nullptr;

    // --- feedback unit (in GroupBoxTerugmeld)
    QLabel* LabelAdrTerug = nullptr;
    TSpinEdit* spn_bezetadres = nullptr;
    QLabel *LabelTerug1 = nullptr, *LabelTerug2 = nullptr, *LabelTerug3 = nullptr,
           *LabelTerug4 = nullptr, *LabelTerug5 = nullptr, *LabelTerug6 = nullptr,
           *LabelTerug7 = nullptr, *LabelTerug8 = nullptr;
    TShape *ShapeTerug1 = nullptr, *ShapeTerug2 = nullptr, *ShapeTerug3 = nullptr,
           *ShapeTerug4 = nullptr, *ShapeTerug5 = nullptr, *ShapeTerug6 = nullptr,
           *ShapeTerug7 = nullptr, *ShapeTerug8 = nullptr;
    QLabel* LabelTerug = nullptr;
    QLabel* lbl_bezetnr = nullptr;
    QPushButton* ButtonLees = nullptr;
    QCheckBox* CheckBoxLeesCont = nullptr;

    // --- only on other systems than Selectrix (SystemPanels.cpp)
    // The DINAMO's hold and fault, where Selectrix has its power box.
    QLabel* LabelHoldFault = nullptr;
    // Inputs 9..16 of a sixteen-input module, below the first eight.
    QLabel* LabelTerugHoog = nullptr;
    std::array<TShape*, 8> ShapesTerugHoog{};

    // The rows of bit buttons and circles, bit 0 first.
    std::array<QPushButton*, 8> FuncButtons() const;
    std::array<QPushButton*, 8> Var104Buttons() const;
    std::array<QPushButton*, 8> Var105Buttons() const;
    std::array<TShape*, 8> TerugShapes() const;

    // The 21 controls that are enabled only while the port is open, in the
    // order CheckBoxPoortOpenClick disables them.
    std::array<QWidget*, 21> ConnectionControls() const;

    // --- start-up and connection strip
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void ComComboBoxPortChange();
    void ComboBoxBaudChange();
    void CheckBoxPoortOpenClick();
    void ButtonPoortOpenClick();
    void ButtonVerbindingOkeClick();
    void CheckBoxCC2000AanClick();

    // --- locomotive panel
    void SpnLoc_TrackBar1Change();
    void SpnLoc_TrackBar2Change();
    void ButtonLocSendClick();
    void ButtonLocSend2Click();
    void Button1Click();
    void Button2Click();
    void Button3StopClick();
    void Button1FunctieMouseDown();
    void Button1FunctieMouseUp();
    void Button2FunctieMouseDown();
    void Button2FunctieMouseUp();
    // One locomotive command with the current state of side 1 or 2.
    void StuurLoc1();
    void StuurLoc2();
    // The timer's ramp step of one side: SelStart moves one step toward
    // Position and, if it moved, that side's command goes out alone.
    void RampStep1();
    void RampStep2();

    // --- function decoder and feedback panels, timer (UnitQuorrinPanels.cpp)
    void ButtonVarAdrClick(QPushButton* Sender);
    void ButtonClearClick();
    void ButtonSetClick();
    void ButtonVerstuurClick();
    void CheckBoxSchrijfContClick();
    void ButtonLeesClick();
    void CheckBoxLeesContClick();
    void Timer1Timer();

    // --- programming box (UnitQuorrinPanels.cpp)
    void Buttonvar104Click(QPushButton* Sender);
    void ButtonVar105Click(QPushButton* Sender);
    void ButtonVerifyClick();
    void ButtonProgramClick();
    void Wacht(uint32_t milliseconds);
    bool ProgrammerVrij();
    bool ProgrammerClaimen();
    void ProgrammerVrijgeven();

    // Sets a check box (or another control whose change runs a handler) from
    // program code. The handler runs by the check-box rule; an exception it
    // raises comes back out of this call, so it ends the calling handler as
    // well instead of being reported half-way. Example:
    //     Programmatic([&] { CheckBoxCC2000Aan->setChecked(false); });
    void Programmatic(const std::function<void()>& change);

    // Runs a handler bound to a control event. An exception escaping it goes
    // to the application's standard error report, or back to the program
    // code that made the change (see Programmatic).
    void Guarded(const std::function<void()>& handler);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    bool IsSelectrix() const;
    // The slider position that stands for speed 0 (its bottom).
    int Stopped() const;
    // SystemPanels.cpp: the window fitted to a system other than Selectrix.
    void AdaptToSystem();
    void InstallSystemEvents();
    // After the port opened: the system's initialisation and, for Lenz, its
    // version (the queue counts the power broadcasts by it).
    void InitialiseInterface();
    // The connection controls the system has no use for, disabled again.
    void DisableWhatTheSystemLacks();
    // Continuous modes end before the port or rate changes.
    void StopContinuous();
    // The power box set to what the system reported, sending nothing.
    void ShowPowerState(bool on);
    // A feedback read and, where its answer is the result, the display.
    void ReadFeedback(bool timed);
    void ShowInputs(uint32_t inputs, uint32_t value);
    // Sixteen inputs, input 1 in the top bit.
    void ShowWord(uint16_t word);
    void ShowDinamoInputs();
    void ShowHoldFault();
    // The Märklin direction: its command changes it, so a change of the
    // radio group sends that command first.
    void ChangeDirectionIfAsked(int side, bool forward);

    void BuildTopStrip();
    void BuildLocomotivePanel();
    void BuildProgrammingBox();
    void BuildFunctionPanel();
    void BuildFeedbackPanel();
    void SetTabOrder();
    void ConnectHandlers();
    void StuurLoc(int side);
    void RampStep(TTrackBar* bar, int side);
    void ShowElapsed(uint32_t start);

    bool shown_ = false;
    int programmaticDepth_ = 0;
    std::exception_ptr programmaticError_;
    // Set from a tick's serial-layer error until a tick runs through again,
    // so a line that keeps failing is reported once, not on every tick.
    bool tickErrorReported_ = false;

    const frontend::SystemInfo* system_;
    std::array<bool, 2> sentForward_{true, true};
    uint8_t lenzInputs_ = 0; // of lenzModule_
    int lenzModule_ = -1;
    std::array<bool, 257> dinamoInputs_{}; // by input number, 1..256
    bool hold_ = false;
    bool fault_ = false;
};

} // namespace tester
