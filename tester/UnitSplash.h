// The splash window: shown before the main window's message loop runs, held
// by the main window's FormShow for a second, then released.
#pragma once

#include <QWidget>

class QFrame;
class QLabel;

namespace tester {

class TSplashScreen : public QWidget {
    Q_OBJECT
  public:
    TSplashScreen();

    // Shows the window centred and paints it at once, without a message loop.
    void ShowNow();
    // Hides the window; it is destroyed the next time the message loop runs.
    void Release();

    QFrame* PanelSplash = nullptr;
    QLabel* ImageSplash = nullptr;
    QLabel* LabelAppName = nullptr;
    QLabel* LabelVersie = nullptr;
};

// The splash while it is up; cleared when it is released.
extern TSplashScreen* SplashScreen;

// Creates the splash window with no owner and shows it (the splash module's
// start-up step).
void InitSplash();

} // namespace tester
