// The line-traffic window: opened with Ctrl+T beside the fixed main window,
// filled from the port's traffic in batches, bounded, paused, cleared, saved.
#include "tester/TraceWindow.h"
#include "tests/support/TesterFixture.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTableView>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tester::TraceTap;
using tester::TraceWindow;

class LineTraffic : public testsupport::TesterTest {
  protected:
    TraceTap tap; // outlives the form, as in the program

    void SetUp() override {
        TesterTest::SetUp();
        tester::InstallLineTraffic(*form, tap);
    }
    TraceWindow* Window() {
        return dynamic_cast<TraceWindow*>(
            form->findChild<QWidget*>(QStringLiteral("FormLijnverkeer")));
    }
    std::vector<std::string> Cells(const TraceWindow& w, int row) {
        std::vector<std::string> cells;
        for (int c = 0; c < 4; ++c)
            cells.push_back(
                w.Model().data(w.Model().index(row, c), Qt::DisplayRole).toString().toStdString());
        return cells;
    }
};

// A window on a tap of its own, fed by hand.
struct FedWindow {
    TraceTap tap;
    TraceWindow window;
    explicit FedWindow(std::string system = "selectrix")
        : window(tap, [system] { return system; }) {
        window.show();
    }
    void Write(const std::string& bytes) {
        tap.OnTraffic(serial::TraceMicros(), serial::TraceDirection::Written,
                      reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    void Read(uint8_t address, uint8_t value) {
        const uint8_t request[] = {address, 0x20};
        tap.OnTraffic(serial::TraceMicros(), serial::TraceDirection::Written, request, 2);
        tap.OnTraffic(serial::TraceMicros(), serial::TraceDirection::Read, &value, 1);
    }
};

TEST_F(LineTraffic, CtrlTOpensTheWindowBesideTheFixedMainWindowAndShowsTheExchange) {
    const QSize mainSize = form->size();
    ASSERT_NE(Window(), nullptr);
    EXPECT_FALSE(Window()->isVisible());
    QApplication::setActiveWindow(form.get());
    QTest::keyClick(form.get(), Qt::Key_T, Qt::ControlModifier);
    ASSERT_TRUE(Window()->isVisible());
    EXPECT_TRUE(Window()->isWindow());
    EXPECT_EQ(form->size(), mainSize);
    EXPECT_EQ(form->minimumSize(), form->maximumSize());

    unit->SetBus(12, 0x5A);
    OpenPort();
    std::string value;
    form->MivoCom1->GetBezetmelder(12, 0, false, false, value);
    ASSERT_TRUE(testsupport::RunEventsUntil([&] {
        for (const auto& r : Window()->Model().Rows())
            if (r.kind == "sx.answer") return true;
        return false;
    }));
    const auto& rows = Window()->Model().Rows();
    std::vector<std::string> kinds;
    for (const auto& r : rows)
        kinds.push_back(r.kind);
    EXPECT_EQ(kinds.front(), "opened");
    auto read = std::find(kinds.begin(), kinds.end(), "sx.read");
    ASSERT_NE(read, kinds.end());
    const int at = static_cast<int>(read - kinds.begin());
    const auto cells = Cells(*Window(), at);
    EXPECT_EQ(cells[1], "to the interface");
    EXPECT_EQ(cells[2], "0C 20");
    EXPECT_EQ(cells[3], "sx.read: read address 12");
    EXPECT_EQ(Cells(*Window(), at + 1)[2], "5A");
    // The meaning also where the pointer rests (the cell may cut it off).
    const auto& model = Window()->Model();
    EXPECT_EQ(model.data(model.index(at, 3), Qt::ToolTipRole).toString().toStdString(), cells[3]);
    EXPECT_FALSE(model.data(model.index(at, 0), Qt::ToolTipRole).isValid());
}

TEST(TraceWindowRows, KeepsTheNewestRowsUpToTheLimitAndCountsTheDropped) {
    testsupport::EnsureApplication();
    FedWindow fed;
    const size_t reads = TraceWindow::kMaxRows / 2 + 30; // two rows each
    for (size_t i = 0; i < reads; ++i)
        fed.Read(static_cast<uint8_t>(i % 100), static_cast<uint8_t>(i));
    fed.window.Drain();
    const auto& rows = fed.window.Model().Rows();
    ASSERT_EQ(rows.size(), TraceWindow::kMaxRows);
    EXPECT_EQ(fed.window.Model().Dropped(), 60u);
    // The oldest kept is the answer of read 29's successor's request: read 30.
    EXPECT_EQ(rows.front().bytes, std::string("\x1E\x20", 2));
    EXPECT_EQ(rows.back().bytes, std::string(1, static_cast<char>((reads - 1) & 0xFF)));
    EXPECT_EQ(fed.window.Status()->text().toStdString(), "10000 rows, 60 dropped");
    for (size_t i = 1; i < rows.size(); ++i)
        ASSERT_LE(rows[i - 1].micros, rows[i].micros) << i;

    // A batch for a full table moves every row up by its size.
    fed.Read(0x41, 0x41);
    fed.Read(0x42, 0x42);
    fed.window.Drain();
    ASSERT_EQ(rows.size(), TraceWindow::kMaxRows);
    EXPECT_EQ(fed.window.Model().Dropped(), 64u);
    EXPECT_EQ(rows.front().bytes, std::string("\x20\x20", 2));
    const auto& model = fed.window.Model();
    EXPECT_EQ(model.data(model.index(model.rowCount() - 2, 2), Qt::DisplayRole).toString(),
              "42 20");
    EXPECT_EQ(model.data(model.index(model.rowCount() - 1, 2), Qt::DisplayRole).toString(), "42");
    EXPECT_EQ(fed.window.Status()->text().toStdString(), "10000 rows, 64 dropped");
}

TEST(TraceWindowRows, PauseHoldsTheTableClearEmptiesIt) {
    testsupport::EnsureApplication();
    FedWindow fed;
    fed.Read(1, 1);
    fed.window.Drain();
    ASSERT_EQ(fed.window.Model().Rows().size(), 2u);
    fed.window.PauseButton()->click();
    EXPECT_TRUE(fed.window.Paused());
    fed.Read(2, 2);
    fed.window.Drain();
    EXPECT_EQ(fed.window.Model().Rows().size(), 2u);
    EXPECT_EQ(fed.window.Status()->text().toStdString(), "2 rows, 0 dropped, 2 while paused");
    fed.window.PauseButton()->click();
    fed.Read(3, 3);
    fed.window.Drain();
    ASSERT_EQ(fed.window.Model().Rows().size(), 4u);
    EXPECT_EQ(fed.window.Model().Rows()[2].bytes, std::string("\x03\x20", 2));
    fed.window.ClearButton()->click();
    EXPECT_TRUE(fed.window.Model().Rows().empty());
    EXPECT_EQ(fed.window.Status()->text().toStdString(), "0 rows, 0 dropped");
}

TEST(TraceWindowRows, ASilentLineWakesNothingAndTrafficShowsWithinABatch) {
    testsupport::EnsureApplication();
    FedWindow fed;
    const auto timers = fed.window.findChildren<QTimer*>();
    const auto anyActive = [&] {
        return std::any_of(timers.begin(), timers.end(), [](QTimer* t) { return t->isActive(); });
    };
    testsupport::RunEventsFor(50);
    EXPECT_FALSE(anyActive());
    fed.Read(1, 1);
    ASSERT_TRUE(testsupport::RunEventsUntil([&] { return fed.window.Model().Rows().size() == 2; }));
    EXPECT_FALSE(anyActive());
    fed.Read(2, 2);
    EXPECT_TRUE(testsupport::RunEventsUntil([&] { return fed.window.Model().Rows().size() == 4; }));
}

// The share of `rect` in `image` painted in `colour` (within a little).
double ShareOf(const QImage& image, const QRect& rect, const QColor& colour) {
    int hits = 0, all = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x, ++all) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                    std::abs(c.blue() - colour.blue()) <
                60)
                ++hits;
        }
    return all ? static_cast<double>(hits) / all : 0;
}

TEST(TraceWindowRows, PaintsABadMessageInRedAndTheSelectedRowHighlighted) {
    testsupport::EnsureApplication();
    FedWindow fed("lenz");
    fed.Write(std::string("\x21\x21\x01", 3)); // the XOR byte is wrong
    fed.Write(std::string("\x21\x21\x00", 3));
    fed.window.Drain();
    const auto& rows = fed.window.Model().Rows();
    const auto bad = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return !r.ok; });
    const auto good = std::find_if(rows.begin(), rows.end(),
                                   [](const auto& r) { return r.kind == "lenz.version-request"; });
    ASSERT_NE(bad, rows.end());
    ASSERT_NE(good, rows.end());
    QTableView& table = *fed.window.Table();
    const auto cell = [&](auto row, int column) {
        return table.visualRect(
            fed.window.Model().index(static_cast<int>(row - rows.begin()), column));
    };
    QImage image = table.viewport()->grab().toImage();
    EXPECT_GT(ShareOf(image, cell(bad, 3), Qt::red), 0.02);
    EXPECT_EQ(ShareOf(image, cell(good, 3), Qt::red), 0);

    table.selectRow(static_cast<int>(good - rows.begin()));
    image = table.viewport()->grab().toImage();
    const QColor highlight = table.palette().color(QPalette::Inactive, QPalette::Highlight);
    const QColor activeHighlight = table.palette().color(QPalette::Active, QPalette::Highlight);
    EXPECT_GT(std::max(ShareOf(image, cell(good, 0), highlight),
                       ShareOf(image, cell(good, 0), activeHighlight)),
              0.5);
    EXPECT_EQ(ShareOf(image, cell(bad, 0), activeHighlight), 0);
}

TEST(TraceWindowRows, AClosedWindowCollectsNothing) {
    testsupport::EnsureApplication();
    FedWindow fed;
    fed.window.hide();
    fed.Read(1, 1);
    size_t lost = 0;
    EXPECT_TRUE(fed.tap.Take(lost).empty());
    EXPECT_EQ(lost, 0u);
}

TEST(TraceWindowRows, SavesTheRowsAsJsonLinesAndRefusesWhatIsNotAFile) {
    testsupport::EnsureApplication();
    FedWindow fed;
    fed.Read(12, 0x5A);
    fed.window.Drain();
    char folder[] = "/tmp/quorrin-window-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/rows.jsonl";
    std::string error;
    ASSERT_TRUE(fed.window.SaveTo(file, error)) << error;
    std::ifstream in(file);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["bytes"], "0C 20");
    EXPECT_EQ(lines[0]["kind"], "sx.read");
    EXPECT_EQ(lines[1]["direction"], "from-interface");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string link = std::string(folder) + "/link";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(fed.window.SaveTo(link, error));
    EXPECT_FALSE(fed.window.SaveTo(folder, error));
    unlink(link.c_str());
    unlink(file.c_str());
    rmdir(folder);
}

} // namespace
