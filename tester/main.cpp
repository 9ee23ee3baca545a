// The tester program: translation, the serial layer, the splash, then the
// main window and its message loop.
#include "platform/Host.h"
#include "platform/Translate.h"
#include "serial/CPort.h"
#include "serial/qt/ComComboBox.h"
#include "sim/SelectrixSim.h"
#include "tester/QtHost.h"
#include "tester/UnitQuorrin.h"
#include "tester/UnitSplash.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char* const kUsage =
    "Usage: quorrin [--simulator]\n"
    "\n"
    "Quorrin tests a Selectrix model-railway system through the PC interface of its\n"
    "central unit on a serial port.\n"
    "\n"
    "  --simulator  start a simulated Selectrix central unit behind a pseudo-terminal,\n"
    "               add its device to the port list and select it, so that \"Poort open\"\n"
    "               connects to it at once (for trying the program without a layout)\n"
    "  --help       show this text\n"
    "\n"
    "Qt's own options (such as -platform) are accepted as well.\n";

} // namespace

int main(int argc, char** argv) {
    bool simulator = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--simulator") == 0) simulator = true;
    }

    platform::InitTranslation();
    serial::InitSerialLayer();

    tester::TApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--simulator") != 0) {
            std::fprintf(stderr, "quorrin: unknown option %s\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    tester::TCatalogueTranslator translator;
    QApplication::installTranslator(&translator);
    tester::TQtHost host;

    tester::InitSplash();

    // The simulated unit outlives the window: closing the window may still
    // switch the unit off over the line.
    std::unique_ptr<sim::SelectrixSim> unit;
    std::unique_ptr<tester::TFormQuorrin> form;
    try {
        if (simulator) unit = std::make_unique<sim::SelectrixSim>();
        form = std::make_unique<tester::TFormQuorrin>();
    } catch (...) {
        delete tester::SplashScreen;
        tester::SplashScreen = nullptr;
        platform::Host().ReportException(std::current_exception());
        return 1;
    }
    if (unit) {
        const QString path = QString::fromStdString(unit->DevicePath());
        form->ComComboBoxPort->addItem(path);
        form->ComComboBoxPort->SetText(unit->DevicePath());
        form->Guarded([&] { form->ComComboBoxPortChange(); });
    }

    form->show();
    const int rc = app.exec();
    form.reset();
    return rc;
}
