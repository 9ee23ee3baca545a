#include "tester/UnitSplash.h"

#include "tester/Controls.h"
#include "tester/SplashPicture.h"

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

namespace tester {

TSplashScreen* SplashScreen = nullptr;

namespace {

constexpr int kWidth = 317;
constexpr int kHeight = 277;

QLabel* Caption(QWidget* parent, const char* name, const char* text, int l, int t, int w, int h) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(l, t, w, h);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(19);
    label->setFont(font);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 255, 0));
    pal.setColor(QPalette::Window, QColor(0, 128, 0));
    label->setPalette(pal);
    label->setAutoFillBackground(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

} // namespace

TSplashScreen::TSplashScreen() : QWidget(nullptr) {
    setObjectName(QStringLiteral("SplashScreen"));
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFixedSize(kWidth, kHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, ButtonFaceColor());
    setPalette(pal);
    setAutoFillBackground(true);

    PanelSplash = new QFrame(this);
    PanelSplash->setObjectName(QStringLiteral("PanelSplash"));
    PanelSplash->setGeometry(0, 0, kWidth, kHeight);
    PanelSplash->setFrameStyle(QFrame::Panel | QFrame::Raised);
    PanelSplash->setLineWidth(3);

    ImageSplash = new QLabel(PanelSplash);
    ImageSplash->setObjectName(QStringLiteral("ImageSplash"));
    ImageSplash->setGeometry(3, 3, 310, 270);
    ImageSplash->setScaledContents(true);
    QImage picture;
    picture.loadFromData(kSplashPicture, sizeof kSplashPicture, "BMP");
    ImageSplash->setPixmap(QPixmap::fromImage(picture));

    LabelAppName = Caption(PanelSplash, "LabelAppName", "Quorrin", 224, 16, 77, 24);
    LabelVersie = Caption(PanelSplash, "LabelVersie", "Versie 1.1", 216, 241, 84, 24);
}

void TSplashScreen::ShowNow() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kWidth / 2, kHeight / 2));
    }
    show();
    // Without a window system (the offscreen platform) there is nothing to raise above.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) raise();
    // Paint now: no message loop runs before the main window is shown.
    repaint();
    QApplication::sync();
}

void TSplashScreen::Release() {
    hide();
    deleteLater();
}

void InitSplash() {
    SplashScreen = new TSplashScreen;
    SplashScreen->ShowNow();
}

} // namespace tester
