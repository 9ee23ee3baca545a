// The tester's line-traffic window ("Lijnverkeer", Ctrl+T): every message on
// the line as a row of a live table (time, direction, bytes, meaning), with
// pause, clear and save as JSON lines. A window of its own, so the main
// window's fixed layout stays as it is.
//
// The port calls its observer on the thread that reads or writes, which may
// be the event thread. TraceTap only queues what it is handed under a lock;
// the window's timer takes the queue in batches on the GUI thread, decodes it
// there and adds the rows, so no signal is sent per byte. At most kMaxRows
// rows are kept; older ones are dropped and counted.
#pragma once

#include "serial/TraceObserver.h"
#include "trace/LineDecoder.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTableView;
class QTimer;

namespace tester {

class TFormQuorrin;

// The observer set on the tester's port: hands everything to `forward` (the
// trace file, if any) at once and, while collecting, queues it for the window.
class TraceTap : public serial::TraceObserver {
  public:
    struct Entry {
        uint64_t micros = 0;
        bool lineEvent = false;
        serial::TraceDirection direction = serial::TraceDirection::Written;
        serial::TraceLineEvent event = serial::TraceLineEvent::Opened;
        uint32_t value = 0;
        std::string data; // the bytes, or the line event's detail
    };
    // Entries not taken beyond this are dropped (a window whose timer is held up).
    static constexpr size_t kMaxQueued = 20000;

    void SetForward(serial::TraceObserver* forward) { forward_ = forward; }
    void SetCollecting(bool on);
    // Called, on the thread that reports, when something is queued while the
    // queue was empty: the window drains only when there is something to take.
    // It runs under the tap's lock, so it must only post.
    void SetOnArrival(std::function<void()> onArrival);
    // What came since the last call, oldest first; `lost` gets what the queue dropped.
    std::vector<Entry> Take(size_t& lost);

    void OnTraffic(uint64_t micros, serial::TraceDirection direction, const uint8_t* bytes,
                   size_t count) override;
    void OnLineEvent(uint64_t micros, serial::TraceLineEvent event, uint32_t value,
                     std::string_view detail) override;

  private:
    void Queue(Entry e);
    serial::TraceObserver* forward_ = nullptr;
    std::atomic<bool> collecting_{false};
    std::mutex mutex_;
    std::vector<Entry> queued_;
    size_t lost_ = 0;
    std::function<void()> onArrival_;
};

struct TraceRow {
    uint64_t micros = 0; // since the window began
    trace::Direction direction = trace::Direction::ToInterface;
    bool lineEvent = false;
    bool ok = true;
    std::string bytes; // as on the line (empty for a line event)
    std::string kind;
    std::string meaning;
};

class TraceModel : public QAbstractTableModel {
  public:
    explicit TraceModel(QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Adds `rows` at the end, dropping the oldest beyond `limit`.
    void Append(std::vector<TraceRow> rows, size_t limit);
    void Clear();
    const std::deque<TraceRow>& Rows() const { return rows_; }
    size_t Dropped() const { return dropped_; }

  private:
    std::deque<TraceRow> rows_;
    size_t dropped_ = 0;
    // Looked up once: a repaint asks for every visible direction cell.
    QString line_, toInterface_, fromInterface_;
};

class TraceWindow : public QWidget {
  public:
    static constexpr size_t kMaxRows = 10000;

    // `system` names the decoder of the port's system (it may change; see
    // SetSystem). The window drains `tap` while it is open.
    TraceWindow(TraceTap& tap, std::function<std::string()> system, QWidget* parent = nullptr);
    ~TraceWindow() override;

    // Takes what the tap queued and adds the rows (the timer's work).
    void Drain();
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    void ClearRows();
    // Writes the rows as JSON lines; false with `error` when the file fails.
    bool SaveTo(const std::string& path, std::string& error) const;

    const TraceModel& Model() const { return *model_; }
    QTableView* Table() const { return table_; }
    QPushButton* PauseButton() const { return pause_; }
    QPushButton* ClearButton() const { return clear_; }
    QPushButton* SaveButton() const { return save_; }
    QLabel* Status() const { return status_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void Add(const TraceTap::Entry& e, std::vector<TraceRow>& rows);
    void ShowStatus();
    void AskAndSave();
    void Arrived();

    TraceTap& tap_;
    std::function<std::string()> system_;
    std::string decoderSystem_;
    std::unique_ptr<trace::Decoder> decoder_;
    uint64_t start_;
    uint64_t fed_[2] = {0, 0};
    std::deque<std::pair<uint64_t, uint64_t>> chunks_[2]; // (offset, time) of each chunk
    uint64_t emitted_[2] = {0, 0};
    bool paused_ = false;
    size_t skipped_ = 0; // rows that came while paused
    size_t lost_ = 0;
    TraceModel* model_;
    QTableView* table_;
    QPushButton* pause_;
    QPushButton* clear_;
    QPushButton* save_;
    QLabel* status_;
    QTimer* timer_;
};

// Sets `tap` on the form's port and opens the window on Ctrl+T.
void InstallLineTraffic(TFormQuorrin& form, TraceTap& tap);

// The decoder's name of a command station system number ("" for none).
std::string TraceSystemName(int digitaalSysteem);

} // namespace tester
