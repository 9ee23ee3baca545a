// The Qt side of the platform layer's host services: message boxes, the
// processing of pending events, the main-thread queue served from Qt's event
// loop, and the application object whose event dispatch no exception leaves.
#pragma once

#include "platform/Host.h"

#include <QApplication>
#include <QTranslator>

namespace tester {

// An exception escaping any event handler goes to the standard error report
// and the program goes on.
class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

class TQtHost : public platform::HostServices {
  public:
    // Installs itself as the host and hooks the main-thread queue into the
    // event loop of the running application.
    TQtHost();
    ~TQtHost() override;

    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool ShowErrorOkCancel(const std::string& text) override;
    void ProcessMessages() override;
    void ReportException(std::exception_ptr error) override;
};

// Looks Qt's own texts (message-box buttons and titles) up in the program's
// message catalogues.
class TCatalogueTranslator : public QTranslator {
  public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override;
    bool isEmpty() const override { return false; }
};

} // namespace tester
