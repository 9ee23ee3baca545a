// Start-up: the splash and its hold, the window's frame and layout, the
// standard error report, and message translation in a fresh process.
#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/qt/ComComboBox.h"
#include "tester/Program.h"
#include "tester/QtHost.h"
#include "tester/UnitQuorrin.h"
#include "tester/UnitSplash.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/TesterFixture.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QRadioButton>
#include <QStyle>

#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

TEST(Splash, PictureLoadsAndCaptionsFit) {
    tester::TSplashScreen splash;
    const QPixmap picture = splash.ImageSplash->pixmap();
    ASSERT_FALSE(picture.isNull()) << "the built-in picture loads";
    EXPECT_EQ(picture.size(), QSize(106, 78));
    for (QLabel* label : {splash.LabelAppName, splash.LabelVersie})
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
}

TEST(Splash, FormShowHoldsItOneSecondWithoutMessagesAcrossTheTickWrap) {
    testsupport::RecordingHost host;
    tester::TFormQuorrin form;
    form.Timer1->stop();
    tester::InitSplash();
    QPointer<tester::TSplashScreen> splash = tester::SplashScreen;
    ASSERT_TRUE(splash);
    EXPECT_TRUE(splash->isVisible());

    bool messageRan = false;
    QTimer::singleShot(0, [&] { messageRan = true; });
    platform::SetTickCountStart(0xFFFFFFFFu - 300);
    const uint64_t startUs = platform::MicroNow();
    form.show(); // FormShow runs as the window becomes visible
    const uint64_t heldMs = (platform::MicroNow() - startUs) / 1000;

    EXPECT_GE(heldMs, 1000u);
    EXPECT_LT(heldMs, 10000u);
    EXPECT_FALSE(messageRan) << "the hold lets no message through";
    EXPECT_EQ(tester::SplashScreen, nullptr);
    ASSERT_TRUE(splash) << "released, destroyed only when the loop runs";
    EXPECT_FALSE(splash->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(splash);

    // Shown again later: no splash, no hold.
    form.hide();
    const uint64_t againUs = platform::MicroNow();
    form.show();
    EXPECT_LT((platform::MicroNow() - againUs) / 1000, 500u);
    QCoreApplication::processEvents();
    EXPECT_TRUE(messageRan);
    EXPECT_TRUE(host.Messages().empty());
}

TEST(Window, FrameFontAndLayout) {
    testsupport::RecordingHost host;
    tester::TFormQuorrin form;
    form.Timer1->stop();
    EXPECT_EQ(form.size(), QSize(489, 488));
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "fixed size";
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Quorrin"));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_EQ(form.palette().color(QPalette::Window), tester::ButtonFaceColor());

    // Controls that share a parent never overlap, and each lies inside it.
    // The window's own controls: children of the window or of a group box
    // (not the inner parts of a composite control).
    std::vector<QWidget*> widgets;
    for (QWidget* w : form.findChildren<QWidget*>())
        if (w->parentWidget() == &form || qobject_cast<QGroupBox*>(w->parentWidget()))
            if (!w->objectName().isEmpty() &&
                !qobject_cast<tester::TRadioGroup*>(w->parentWidget()))
                widgets.push_back(w);
    for (QWidget* a : widgets) {
        EXPECT_TRUE(a->parentWidget()->rect().contains(a->geometry()))
            << a->objectName().toStdString() << " lies outside its parent";
        for (QWidget* b : widgets) {
            if (b <= a || b->parentWidget() != a->parentWidget()) continue;
            // Where the layout itself lets controls overlap: each slider's foot
            // holds its "Stop" button, each small function button sits on the
            // end of its "Functie" box, and "Licht" and "Functie" share a row of
            // pixels.
            static const std::set<std::pair<QString, QString>> byLayout = {
                {"SpnLoc_TrackBar1", "Button1"},   {"SpnLoc_TrackBar2", "Button2"},
                {"ckbFunctie1", "Button1Functie"}, {"ckbFunctie2", "Button2Functie"},
                {"chk_licht1", "ckbFunctie1"},     {"chk_licht2", "ckbFunctie2"}};
            if (byLayout.count({a->objectName(), b->objectName()}) ||
                byLayout.count({b->objectName(), a->objectName()}))
                continue;
            EXPECT_FALSE(a->geometry().intersects(b->geometry()))
                << a->objectName().toStdString() << " overlaps " << b->objectName().toStdString();
        }
    }
}

TEST(Window, EveryCaptionFitsItsControl) {
    testsupport::RecordingHost host;
    tester::TFormQuorrin form;
    form.Timer1->stop();
    for (QWidget* w : form.findChildren<QWidget*>()) {
        QString text;
        int room = w->width();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            text = check->text();
            room -= w->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w) +
                    w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w);
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            text = radio->text();
            room -= w->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, w) +
                    w->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, w);
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            text = button->text();
            room -= 4;
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
            room -= 16;
        }
        if (text.isEmpty()) continue;
        EXPECT_LE(w->fontMetrics().horizontalAdvance(text), room)
            << w->objectName().toStdString() << " \"" << text.toStdString() << "\"";
        EXPECT_LE(w->fontMetrics().height(), w->height() + 2) << w->objectName().toStdString();
    }
}

TEST(Window, TabOrderFollowsTheLayout) {
    testsupport::RecordingHost host;
    tester::TFormQuorrin form;
    form.Timer1->stop();
    const std::vector<QWidget*> expected = {form.ButtonPoortOpen,
                                            form.ButtonVerbindingOke,
                                            form.ComboBoxBaud,
                                            form.SpnLoc_TrackBar1,
                                            form.spn_locadres1,
                                            form.chk_licht1,
                                            form.rgr_richting1->Item(0),
                                            form.rgr_richting1->Item(1),
                                            form.SpnLoc_TrackBar2,
                                            form.spn_locadres2,
                                            form.chk_licht2,
                                            form.rgr_richting2->Item(0),
                                            form.rgr_richting2->Item(1),
                                            form.ButtonLocSend,
                                            form.ButtonLocSend2,
                                            form.ButtonVerify,
                                            form.ButtonProgram,
                                            form.Buttonvar11,
                                            form.Buttonvar12,
                                            form.Buttonvar13,
                                            form.Buttonvar14,
                                            form.Buttonvar15,
                                            form.Buttonvar16,
                                            form.Buttonvar17,
                                            form.Buttonvar18,
                                            form.Buttonvar21,
                                            form.Buttonvar22,
                                            form.Buttonvar23,
                                            form.Buttonvar24,
                                            form.Buttonvar25,
                                            form.Buttonvar26,
                                            form.Buttonvar27,
                                            form.Buttonvar28,
                                            form.ckbFunctie2,
                                            form.ckbFunctie1,
                                            form.Button1Functie,
                                            form.Button2Functie,
                                            form.Button1,
                                            form.Button2,
                                            form.Button3Stop,
                                            form.ButtonVerstuur,
                                            form.spn_funcadres,
                                            form.CheckBoxSchrijfCont,
                                            form.ButtonFunc1,
                                            form.ButtonFunc2,
                                            form.ButtonFunc3,
                                            form.ButtonFunc4,
                                            form.ButtonFunc5,
                                            form.ButtonFunc6,
                                            form.ButtonFunc7,
                                            form.ButtonFunc8,
                                            form.ButtonClear,
                                            form.ButtonSet,
                                            form.ButtonLees,
                                            form.spn_bezetadres,
                                            form.CheckBoxLeesCont,
                                            form.CheckBoxPoortOpen,
                                            form.CheckBoxCC2000Aan,
                                            form.CheckBoxMeldTijd,
                                            form.ComComboBoxPort};
    // Walk the focus chain from the first control, keeping only the listed ones
    // (the chain also holds inner parts such as a number field's editor).
    std::vector<QWidget*> chain;
    QWidget* w = form.ButtonPoortOpen;
    for (size_t guard = 0; guard < 1000 && chain.size() < expected.size(); ++guard) {
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(chain.begin(), chain.end(), w) == chain.end())
            chain.push_back(w);
        w = w->nextInFocusChain();
    }
    ASSERT_EQ(chain.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(chain[i], expected[i])
            << "position " << i << ": " << chain[i]->objectName().toStdString() << " instead of "
            << expected[i]->objectName().toStdString();
}

// What the picture of the window must show: its size, the feedback lamps of
// the last read (yellow for a set bit, the window's colour for a clear one),
// and the band between the commanded and the target speed beside a slider's
// thumb, long for a locomotive on its way and at most a stub (under the
// thumb) for one at its target.
using WindowPicture = testsupport::PanelsTest;

TEST_F(WindowPicture, ShowsTheFeedbackLampsAndTheSpeedBand) {
    form->spn_bezetadres->SetValue(60);
    unit->SetFeedback(60, 0x05);
    testsupport::Click(form->ButtonLees);
    ASSERT_EQ(form->lbl_bezetnr->text(), QStringLiteral("5"));
    form->SpnLoc_TrackBar1->SetSelStart(10); // on its way to 31
    ASSERT_EQ(form->SpnLoc_TrackBar2->SelStart(), form->SpnLoc_TrackBar2->SelEnd());

    const QPixmap shot = form->grab();
    ASSERT_EQ(shot.size() / shot.devicePixelRatio(), QSize(489, 488));
    const QImage picture = shot.toImage();
    const qreal scale = shot.devicePixelRatio();
    auto at = [&](QWidget* w, QPoint p) {
        return picture.pixelColor(w->mapTo(form.get(), p) * scale);
    };

    const auto lamps = form->TerugShapes();
    for (size_t k = 0; k < lamps.size(); ++k)
        EXPECT_EQ(at(lamps[k], lamps[k]->rect().center()),
                  (0x05 >> k) & 1 ? QColor(255, 255, 0) : tester::ButtonFaceColor())
            << "lamp " << k;

    // Rows of a slider's picture that hold its highlight colour.
    auto bandRows = [&](tester::TTrackBar* bar) {
        const QColor band = bar->palette().color(QPalette::Active, QPalette::Highlight);
        int rows = 0;
        for (int y = 0; y < bar->height(); ++y)
            for (int x = 0; x < bar->width(); ++x)
                if (at(bar, QPoint(x, y)) == band) {
                    ++rows;
                    break;
                }
        return rows;
    };
    const int moving = bandRows(form->SpnLoc_TrackBar1);
    const int atTarget = bandRows(form->SpnLoc_TrackBar2);
    EXPECT_LE(atTarget, 8) << "at most a stub beside the thumb";
    EXPECT_GT(moving - atTarget, form->SpnLoc_TrackBar1->height() / 3);
}

namespace {

class Thrower : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("handler failed");
        return QObject::event(e);
    }
};

} // namespace

TEST(ErrorReport, AnExceptionLeavingAnEventHandlerIsReportedAndTheProgramGoesOn) {
    testsupport::RecordingHost host;
    Thrower thrower;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &event));
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].kind, platform::MessageKind::Error);
    EXPECT_EQ(host.Messages()[0].text, "handler failed");
    // Posted events too, through the event loop.
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(host.Messages().size(), 2u);
}

// ------------------------------------------------------------ translation

namespace {

// The translation as the program starts it, in a fresh process: one result
// per line.
int TranslationAtStart(int argc, char** argv) {
    platform::InitTranslation();
    serial::InitSerialLayer();
    tester::TApplication app(argc, argv);
    tester::TCatalogueTranslator translator;
    QApplication::installTranslator(&translator);
    std::printf("%s\n", serial::EComPort(1).what());
    std::printf("%s\n", serial::EComPort(1, 2).what());
    QMessageBox box(QMessageBox::Critical, {}, {}, QMessageBox::Ok | QMessageBox::Cancel);
    std::printf("%s\n", box.button(QMessageBox::Ok)->text().toStdString().c_str());
    std::printf("%s\n", box.button(QMessageBox::Cancel)->text().toStdString().c_str());
    std::printf("%s\n", platform::Translate("Error").c_str());
    return 0;
}
const testsupport::ChildBody kTranslationAtStart("tester-translation", &TranslationAtStart);

} // namespace

TEST(Translation, DutchFromLangEvenWithoutADutchLocaleInstalled) {
    struct Case {
        const char* env;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        // nl_NL is not installed on the build machines: setlocale fails.
        {"LANG=nl_NL.UTF-8",
         {"Kan de COM-poort niet openen", "Kan de COM-poort niet openen (win-foutcode: 2)", "OK",
          "Annuleren", "Fout"}},
        // Only the first two letters match a catalogue.
        {"LANG=nl_BE",
         {"Kan de COM-poort niet openen", "Kan de COM-poort niet openen (win-foutcode: 2)", "OK",
          "Annuleren", "Fout"}},
        {"LANG=C",
         {"Unable to open com port", "Unable to open com port (win error code: 2)", "OK", "Cancel",
          "Error"}},
        {"LANG=de_DE.UTF-8",
         {"Unable to open com port", "Unable to open com port (win error code: 2)", "OK", "Cancel",
          "Error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env);
        const auto child = testsupport::RunChild("tester-translation", {c.env});
        EXPECT_EQ(child.exitStatus, 0);
        EXPECT_EQ(child.lines, c.expected);
    }
}

// ------------------------------------------------------------ command line

namespace {

// The program as started from a shell, in a fresh process (it makes its own
// application object): prints the selected port, the component's port and,
// with `open`, whether "Poort open" connects (a failing open would show its
// error in a modal box, which nobody closes here).
int RunAsStarted(std::vector<std::string> args, bool open) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    return tester::RunQuorrin(argc, argv.data(), [open](tester::TFormQuorrin& form) {
        std::printf("%s\n", form.ComComboBoxPort->Text().c_str());
        std::printf("%s\n", form.MivoCom1->Port().c_str());
        if (open) {
            form.CheckBoxPoortOpen->click();
            std::printf("%s\n", form.MivoCom1->Connected() ? "connected" : "not connected");
        }
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}
int StartedWithPort(int, char**) {
    return RunAsStarted({"quorrin", "--port", "/dev/quorrin-no-such-port"}, false);
}
int StartedWithSimulator(int, char**) {
    return RunAsStarted({"quorrin", "--simulator"}, true);
}
int StartedWithUnknownOption(int, char**) {
    return RunAsStarted({"quorrin", "--frobnicate"}, false);
}
const testsupport::ChildBody kStartedWithPort("tester-port-option", &StartedWithPort);
const testsupport::ChildBody kStartedWithSimulator("tester-simulator-option",
                                                   &StartedWithSimulator);
const testsupport::ChildBody kStartedWithUnknown("tester-unknown-option",
                                                 &StartedWithUnknownOption);

} // namespace

TEST(CommandLine, PortAndSimulatorOptionsSelectThePortTheUserGave) {
    // A port that is not in the list is added, selected and given to the
    // component.
    const auto port = testsupport::RunChild("tester-port-option", {});
    EXPECT_EQ(port.exitStatus, 0);
    EXPECT_EQ(port.lines,
              (std::vector<std::string>{"/dev/quorrin-no-such-port", "/dev/quorrin-no-such-port"}));

    // The simulated unit's in-process port is selected and "Poort open"
    // connects to it.
    const auto sim = testsupport::RunChild("tester-simulator-option", {});
    EXPECT_EQ(sim.exitStatus, 0);
    ASSERT_EQ(sim.lines.size(), 3u);
    EXPECT_EQ(sim.lines[0], "sim:selectrix");
    EXPECT_EQ(sim.lines[1], sim.lines[0]);
    EXPECT_EQ(sim.lines[2], "connected");

    const auto unknown = testsupport::RunChild("tester-unknown-option", {});
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_TRUE(unknown.lines.empty());
}
