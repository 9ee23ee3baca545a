#include "tester/TraceWindow.h"

#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "platform/Translate.h"
#include "tester/UnitQuorrin.h"
#include "trace/Text.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tester {

namespace {

// A live table at two updates a second still reads as live and costs little.
constexpr int kDrainMs = 500;

QString Tr(const char* text) {
    return QString::fromStdString(platform::Translate(text));
}

QString MsText(uint64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(micros / 1000),
                  static_cast<unsigned long long>(micros % 1000));
    return QString::fromLatin1(text);
}

int Index(trace::Direction d) {
    return d == trace::Direction::ToInterface ? 0 : 1;
}

// The cells are one line of plain text each. The style's item painting
// measures every cell for icons, check marks, focus frames and elision before
// it lays the text out; this paints the selection and the text and nothing
// else, so a repaint of a busy table costs a fraction of that.
class TraceDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group =
            option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
        if (selected)
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        const QVariant colour = index.data(Qt::ForegroundRole);
        painter->setPen(colour.isValid() && !selected
                            ? colour.value<QColor>()
                            : option.palette.color(group, selected ? QPalette::HighlightedText
                                                                   : QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(option.rect.adjusted(kMargin, 0, -kMargin, 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
    }

  private:
    static constexpr int kMargin = 3;
};

} // namespace

std::string TraceSystemName(int digitaalSysteem) {
    using namespace command_station;
    switch (digitaalSysteem) {
    case dsSelectrix:
        return "selectrix";
    case dsMarklin:
        return "marklin";
    case dsLenz:
        return "lenz";
    case dsSerieleKaart:
        return "kaart";
    case dsIntellibox:
        return "intellibox";
    case dsDinamo:
        return "dinamo";
    default:
        return {};
    }
}

// ---------------------------------------------------------------- the tap

void TraceTap::SetCollecting(bool on) {
    collecting_ = on;
    if (on) return;
    std::lock_guard lock(mutex_);
    queued_.clear();
    queued_.shrink_to_fit();
}

std::vector<TraceTap::Entry> TraceTap::Take(size_t& lost) {
    std::lock_guard lock(mutex_);
    lost = std::exchange(lost_, 0);
    return std::exchange(queued_, {});
}

void TraceTap::SetOnArrival(std::function<void()> onArrival) {
    std::lock_guard lock(mutex_);
    onArrival_ = std::move(onArrival);
}

void TraceTap::Queue(Entry e) {
    std::lock_guard lock(mutex_);
    if (queued_.size() >= kMaxQueued) {
        ++lost_;
        return;
    }
    queued_.push_back(std::move(e));
    if (queued_.size() == 1 && onArrival_) onArrival_();
}

void TraceTap::OnTraffic(uint64_t micros, serial::TraceDirection direction, const uint8_t* bytes,
                         size_t count) {
    if (forward_) forward_->OnTraffic(micros, direction, bytes, count);
    if (!collecting_) return;
    Entry e;
    e.micros = micros;
    e.direction = direction;
    e.data.assign(reinterpret_cast<const char*>(bytes), count);
    Queue(std::move(e));
}

void TraceTap::OnLineEvent(uint64_t micros, serial::TraceLineEvent event, uint32_t value,
                           std::string_view detail) {
    if (forward_) forward_->OnLineEvent(micros, event, value, detail);
    if (!collecting_) return;
    Entry e;
    e.micros = micros;
    e.lineEvent = true;
    e.event = event;
    e.value = value;
    e.data = detail;
    Queue(std::move(e));
}

// ---------------------------------------------------------------- the table

TraceModel::TraceModel(QObject* parent)
    : QAbstractTableModel(parent), line_(Tr("line")), toInterface_(Tr("to the interface")),
      fromInterface_(Tr("from the interface")) {}

int TraceModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TraceModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant TraceModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= rows_.size()) return {};
    const TraceRow& r = rows_[static_cast<size_t>(index.row())];
    if (role == Qt::ForegroundRole && !r.ok) return QColor(Qt::red);
    // A long meaning or frame runs out of its cell: the whole text shows
    // where the pointer rests.
    if (role == Qt::ToolTipRole && index.column() >= 2) return data(index, Qt::DisplayRole);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case 0:
        return MsText(r.micros);
    case 1:
        if (r.lineEvent) return line_;
        return r.direction == trace::Direction::ToInterface ? toInterface_ : fromInterface_;
    case 2:
        return QString::fromLatin1(trace::text::BareHex(r.bytes).c_str());
    default:
        return QString::fromStdString(r.kind + (r.ok ? "" : " (!)") + ": " + r.meaning);
    }
}

QVariant TraceModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kTitles[] = {"time", "direction", "bytes", "meaning"};
    return section >= 0 && section < 4 ? Tr(kTitles[section]) : QVariant();
}

void TraceModel::Append(std::vector<TraceRow> rows, size_t limit) {
    if (rows.size() > limit) {
        dropped_ += rows.size() - limit;
        rows.erase(rows.begin(), rows.end() - static_cast<std::ptrdiff_t>(limit));
    }
    if (rows.empty()) return;
    const size_t over = rows_.size() + rows.size() > limit ? rows_.size() + rows.size() - limit : 0;
    if (over > 0) {
        beginRemoveRows({}, 0, static_cast<int>(over) - 1);
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(over));
        dropped_ += over;
        endRemoveRows();
    }
    const int first = static_cast<int>(rows_.size());
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    for (TraceRow& r : rows)
        rows_.push_back(std::move(r));
    endInsertRows();
}

void TraceModel::Clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    dropped_ = 0;
    endResetModel();
}

// ---------------------------------------------------------------- the window

TraceWindow::TraceWindow(TraceTap& tap, std::function<std::string()> system, QWidget* parent)
    : QWidget(parent, Qt::Window), tap_(tap), system_(std::move(system)),
      start_(serial::TraceMicros()), model_(new TraceModel(this)), table_(new QTableView(this)),
      pause_(new QPushButton(Tr("Pause"), this)), clear_(new QPushButton(Tr("Clear"), this)),
      save_(new QPushButton(Tr("Save..."), this)), status_(new QLabel(this)),
      timer_(new QTimer(this)) {
    setObjectName(QStringLiteral("FormLijnverkeer"));
    setWindowTitle(Tr("Line traffic"));
    // Wide enough for most meanings beside the other three columns; fits a
    // 1024-pixel screen.
    resize(960, 420);
    table_->setModel(model_);
    table_->setItemDelegate(new TraceDelegate(table_));
    // The cells hold Latin text, which needs no shaping: without it a cell is
    // laid out in a fraction of the time.
    QFont font = table_->font();
    font.setStyleStrategy(QFont::PreferNoShaping);
    table_->setFont(font);
    table_->verticalHeader()->hide();
    // Rows of one height: the view then never measures them one by one.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(18);
    table_->setWordWrap(false);
    // Long meanings run out of their cell instead of being measured for an
    // ellipsis on every repaint.
    table_->setTextElideMode(Qt::ElideNone);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setColumnWidth(0, 90);
    table_->setColumnWidth(1, 125);
    table_->setColumnWidth(2, 170);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    pause_->setCheckable(true);
    // A status of a fixed size: its new text each batch repaints the label
    // only. (A label of a fixed width alone still has the window's layout
    // redone for each new text.)
    status_->setFixedSize(300, status_->sizeHint().height());
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(pause_);
    buttons->addWidget(clear_);
    buttons->addWidget(save_);
    buttons->addStretch();
    buttons->addWidget(status_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_);
    layout->addLayout(buttons);
    connect(pause_, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(clear_, &QPushButton::clicked, this, [this] { ClearRows(); });
    connect(save_, &QPushButton::clicked, this, [this] { AskAndSave(); });
    // A batch is taken half a second after its first entry came; a silent
    // line wakes nothing.
    timer_->setSingleShot(true);
    timer_->setInterval(kDrainMs);
    connect(timer_, &QTimer::timeout, this, [this] { Drain(); });
    tap_.SetOnArrival([this] {
        QMetaObject::invokeMethod(
            this, [this] { Arrived(); }, Qt::QueuedConnection);
    });
    ShowStatus();
}

TraceWindow::~TraceWindow() {
    // After this no arrival is posted to the window; one already posted goes
    // with it.
    tap_.SetOnArrival({});
    tap_.SetCollecting(false);
}

void TraceWindow::Arrived() {
    if (isVisible() && !timer_->isActive()) timer_->start();
}

void TraceWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    tap_.SetCollecting(true);
}

void TraceWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_->stop();
    Drain();
    tap_.SetCollecting(false);
}

void TraceWindow::SetPaused(bool paused) {
    paused_ = paused;
    if (pause_->isChecked() != paused) pause_->setChecked(paused);
    pause_->setText(paused ? Tr("Resume") : Tr("Pause"));
    ShowStatus();
}

void TraceWindow::ClearRows() {
    model_->Clear();
    skipped_ = 0;
    lost_ = 0;
    ShowStatus();
}

void TraceWindow::Add(const TraceTap::Entry& e, std::vector<TraceRow>& rows) {
    const uint64_t t = e.micros > start_ ? e.micros - start_ : 0;
    if (e.lineEvent) {
        // What the decoder holds belongs before the close.
        if (e.event == serial::TraceLineEvent::Closed && decoder_)
            for (const trace::Message& m : decoder_->Flush()) {
                TraceRow r;
                r.micros = t;
                r.direction = m.direction;
                r.ok = m.ok;
                r.bytes = m.bytes;
                r.kind = m.kind;
                r.meaning = m.meaning;
                emitted_[Index(m.direction)] += m.bytes.size();
                rows.push_back(std::move(r));
            }
        TraceRow r;
        r.micros = t;
        r.lineEvent = true;
        r.kind = serial::TraceLineEventName(e.event);
        r.meaning = std::to_string(e.value) + (e.data.empty() ? "" : " " + e.data);
        rows.push_back(std::move(r));
        return;
    }
    // The decoder follows the port's system, which the user may change.
    const std::string system = system_ ? system_() : std::string();
    if (!decoder_ || system != decoderSystem_) {
        decoderSystem_ = system;
        decoder_ = trace::MakeDecoder(system.empty() ? "selectrix" : system);
        for (int i = 0; i < 2; ++i) {
            chunks_[i].clear();
            fed_[i] = emitted_[i] = 0;
        }
    }
    const trace::Direction d = e.direction == serial::TraceDirection::Written
                                   ? trace::Direction::ToInterface
                                   : trace::Direction::FromInterface;
    chunks_[Index(d)].push_back({fed_[Index(d)], t});
    fed_[Index(d)] += e.data.size();
    for (trace::Message& m : decoder_->Feed(d, e.data)) {
        const int i = Index(m.direction);
        auto& chunks = chunks_[i];
        // The time of the chunk that held the message's first byte.
        uint64_t at = t;
        for (const auto& [offset, time] : chunks) {
            if (offset > emitted_[i]) break;
            at = time;
        }
        emitted_[i] += m.bytes.size();
        while (chunks.size() > 1 && chunks[1].first < emitted_[i])
            chunks.pop_front();
        TraceRow r;
        r.micros = at;
        r.direction = m.direction;
        r.ok = m.ok;
        r.bytes = std::move(m.bytes);
        r.kind = std::move(m.kind);
        r.meaning = std::move(m.meaning);
        rows.push_back(std::move(r));
    }
}

void TraceWindow::Drain() {
    size_t lost = 0;
    std::vector<TraceTap::Entry> entries = tap_.Take(lost);
    lost_ += lost;
    if (entries.empty() && lost == 0) return;
    std::vector<TraceRow> rows;
    for (const TraceTap::Entry& e : entries)
        Add(e, rows);
    if (paused_) {
        skipped_ += rows.size();
    } else {
        const bool atEnd =
            table_->verticalScrollBar() == nullptr ||
            table_->verticalScrollBar()->value() == table_->verticalScrollBar()->maximum();
        model_->Append(std::move(rows), kMaxRows);
        if (atEnd) table_->scrollToBottom();
    }
    ShowStatus();
}

void TraceWindow::ShowStatus() {
    QString text =
        Tr("%1 rows, %2 dropped").arg(model_->Rows().size()).arg(model_->Dropped() + lost_);
    if (paused_ || skipped_ > 0) text += ", " + Tr("%1 while paused").arg(skipped_);
    status_->setText(text);
}

bool TraceWindow::SaveTo(const std::string& path, std::string& error) const {
    // As the trace file: no link followed, no FIFO waited for, 0600 when new.
    const int fd =
        open(path.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    std::string data;
    for (const TraceRow& r : model_->Rows()) {
        nlohmann::json o{{"event", "trace"}, {"t_us", r.micros}};
        if (r.lineEvent) {
            o["line"] = r.kind;
            o["detail"] = r.meaning;
        } else {
            o["direction"] = trace::DirectionName(r.direction);
            o["bytes"] = trace::text::BareHex(r.bytes);
            o["kind"] = r.kind;
            o["meaning"] = r.meaning;
            o["ok"] = r.ok;
        }
        data += o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::strerror(n < 0 ? errno : EIO);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

void TraceWindow::AskAndSave() {
    const QString path = QFileDialog::getSaveFileName(this, Tr("Save line traffic"), {},
                                                      QStringLiteral("JSON lines (*.jsonl)"));
    if (path.isEmpty()) return;
    std::string error;
    if (!SaveTo(path.toStdString(), error))
        platform::Host().ShowError(Tr("The line traffic could not be saved: %1")
                                       .arg(QString::fromStdString(error))
                                       .toStdString());
}

void InstallLineTraffic(TFormQuorrin& form, TraceTap& tap) {
    form.MivoCom1->SetTraceObserver(&tap);
    auto* window = new TraceWindow(
        tap,
        [&form] {
            return form.MivoCom1 ? TraceSystemName(form.MivoCom1->DigitaalSysteem) : std::string();
        },
        &form);
    auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+T")), &form);
    QObject::connect(shortcut, &QShortcut::activated, window, [window] {
        window->show();
        window->raise();
        window->activateWindow();
    });
}

} // namespace tester
