// The Qt host: event-thread deliveries reach the owner's thread through Qt's
// own event loop, woken by the host, with nobody serving the queue by hand.
#include "platform/Host.h"
#include "serial/CPort.h"
#include "tester/QtHost.h"
#include "tests/support/PtyPair.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(QtHost, EventThreadDeliveriesRunOnTheMainThreadFromQtsOwnLoop) {
    struct Case {
        serial::TSyncMethod method;
        const char* what;
    };
    for (const Case& c :
         {Case{serial::smThreadSync, "thread sync"}, Case{serial::smWindowSync, "window sync"}}) {
        SCOPED_TRACE(c.what);
        tester::TQtHost host;
        testsupport::PtyPair pty;
        serial::TComPort port;
        port.SetPort(pty.Path());
        port.SetSyncMethod(c.method);
        port.SetEvents({serial::evRxChar});

        QEventLoop loop;
        std::string received;
        bool allOnMain = true;
        port.OnRxChar = [&](serial::TCustomComPort* p, int count) {
            std::string s;
            p->ReadText(s, count);
            received += s;
            allOnMain = allOnMain && platform::IsMainThread();
            if (received.size() >= 5) loop.quit();
        };
        port.OpenPort();
        ASSERT_TRUE(port.EventThreadRunning());

        // Only Qt's loop runs: no ProcessMessages, no Serve. Without the
        // host's wake-up the loop sleeps until the guard ends it.
        bool timedOut = false;
        QTimer::singleShot(10000, &loop, [&] {
            timedOut = true;
            loop.quit();
        });
        QTimer::singleShot(0, &loop, [&] { pty.Send("hello"); });
        loop.exec();

        EXPECT_FALSE(timedOut);
        EXPECT_EQ(received, "hello");
        EXPECT_TRUE(allOnMain);
        port.ClosePort();
    }
}

} // namespace
