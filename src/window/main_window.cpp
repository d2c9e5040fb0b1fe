#include "window/main_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace cassasync::window {

namespace {

// Before the most serious alert in the status text, as the log writes it.
constexpr const char* kDesignCounter = "0000000";

QString q(const std::string& text) { return QString::fromStdString(text); }

QTimer* make_timer(QObject* parent, const char* name, int interval_ms) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(interval_ms);
    return timer;
}

}  // namespace

MainWindow::MainWindow(frame::Context& ctx, WorkerThread* worker, QWidget* parent)
    : QWidget(parent), ctx_(ctx), worker_(worker) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("cassasync"));
    build_layout();

    timer1_ = make_timer(this, "Timer1", kBlinkMs);
    connect(timer1_, &QTimer::timeout, this, &MainWindow::blink_tick);
    refresh_timer_ = make_timer(this, "refreshTimer", kRefreshMs);
    connect(refresh_timer_, &QTimer::timeout, this, &MainWindow::refresh_from_board);
    stop_timer_ = make_timer(this, "stopTimer", kStopPollMs);
    connect(stop_timer_, &QTimer::timeout, this, &MainWindow::poll_stop);

    refresh_from_board();
    timer1_->start();
    refresh_timer_->start();
    stop_timer_->start();
}

void MainWindow::build_layout() {
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    auto* registers = new QGridLayout;
    registers->setHorizontalSpacing(10);
    registers->setVerticalSpacing(3);
    registers->addWidget(new QLabel(QStringLiteral("Cassa")), 0, 0, 1, 2);
    auto* pun_caption = new QLabel(QStringLiteral("Punti"));
    auto* num_caption = new QLabel(QStringLiteral("Letture"));
    pun_caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    num_caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    registers->addWidget(pun_caption, 0, 2);
    registers->addWidget(num_caption, 0, 3);

    for (int n = 1; n <= core::kMaxRegisters; ++n) {
        const auto i = static_cast<std::size_t>(n);
        const QString number = QString::number(n);

        lamps_[i] = new Lamp(this);
        lamps_[i]->setObjectName(QStringLiteral("c1_") + number);

        auto* caption = new QLabel(number, this);
        caption->setObjectName(QStringLiteral("Label") + number);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        caption->setMinimumWidth(caption->fontMetrics().horizontalAdvance(QStringLiteral("10")));

        pun_[i] = new QLabel(QLatin1String(kDesignCounter), this);
        pun_[i]->setObjectName(QStringLiteral("pun_") + number);
        num_[i] = new QLabel(QLatin1String(kDesignCounter), this);
        num_[i]->setObjectName(QStringLiteral("num_") + number);
        for (QLabel* counter : {pun_[i], num_[i]}) {
            counter->setFont(fixed);
            counter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            counter->setMinimumWidth(counter->fontMetrics().horizontalAdvance(QStringLiteral("00000000")));
        }

        registers->addWidget(lamps_[i], n, 0, Qt::AlignCenter);
        registers->addWidget(caption, n, 1);
        registers->addWidget(pun_[i], n, 2);
        registers->addWidget(num_[i], n, 3);
    }
    registers->setRowStretch(core::kMaxRegisters + 1, 1);

    auto* frame_pos = new QGroupBox(QStringLiteral("Numero Pos"), this);
    frame_pos->setObjectName(QStringLiteral("Frame1"));
    nrposw_ = new QLineEdit(frame_pos);
    nrposw_->setObjectName(QStringLiteral("nrposw"));
    nrposw_->setReadOnly(true);
    nrposw_->setFocusPolicy(Qt::ClickFocus);  // the exit button takes the focus at start
    nrposw_->setAlignment(Qt::AlignRight);
    nrposw_->setMaximumWidth(nrposw_->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 16);
    auto* pos_layout = new QHBoxLayout(frame_pos);
    pos_layout->addWidget(nrposw_);
    pos_layout->addStretch(1);

    txt_status_ = new QPlainTextEdit(this);
    txt_status_->setObjectName(QStringLiteral("txtStatus"));
    txt_status_->setReadOnly(true);
    txt_status_->setFocusPolicy(Qt::ClickFocus);
    txt_status_->setMinimumSize(280, 90);

    last_cycle_ = new QLabel(this);
    last_cycle_->setObjectName(QStringLiteral("lblCiclo"));
    last_cycle_->setWordWrap(true);

    command1_ = new QPushButton(QStringLiteral("Uscita"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    connect(command1_, &QPushButton::clicked, this, &QWidget::close);

    auto* right = new QVBoxLayout;
    right->addWidget(frame_pos);
    right->addWidget(txt_status_, 1);
    right->addWidget(last_cycle_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(command1_);
    right->addLayout(buttons);

    auto* outer = new QHBoxLayout(this);
    outer->addLayout(registers);
    outer->addSpacing(8);
    outer->addLayout(right, 1);
}

void MainWindow::blink_tick() {
    for (int n = 1; n <= served_; ++n) {
        Lamp* l = lamp(n);
        l->setHidden(!l->isHidden());
    }
}

void MainWindow::refresh_from_board() {
    const core::StatusSnapshot s = ctx_.board.snapshot();
    const std::string alert = ctx_.health.alert();
    if (shown_version_ && *shown_version_ == s.version && alert == shown_alert_) return;
    shown_version_ = s.version;
    shown_alert_ = alert;

    for (int n = 1; n <= core::kMaxRegisters; ++n) {
        const auto& r = s.registers[static_cast<std::size_t>(n)];
        // Only the colour changes: visibility belongs to the blink, so a lamp that
        // turns red keeps its phase.
        lamp(n)->set_colour(r.lamp ? lamp_colour(*r.lamp) : QColor(kNeutralLamp));
        pun(n)->setText(q(r.pun));
        num(n)->setText(q(r.num));
    }
    served_ = s.served;
    // Lamps no longer served stop blinking, shown.
    for (int n = served_ + 1; n <= core::kMaxRegisters; ++n) lamp(n)->setHidden(false);

    nrposw_->setText(q(s.nrposw));
    QString status = q(s.txt_status);
    // The most serious alert in force stays in view below what the steps write.
    if (!alert.empty()) status += (status.isEmpty() ? QString() : QStringLiteral("\n")) + q(frame::kAlertMark + alert);
    if (txt_status_->toPlainText() != status) txt_status_->setPlainText(status);
    last_cycle_->setText(q(s.last_cycle));
}

void MainWindow::poll_stop() {
    const bool worker_done = worker_ && worker_->finished();
    if (ctx_.stop_requested.load() || worker_done || closing_) close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    ctx_.stop_requested.store(true);
    if (worker_ && !worker_->finished()) {
        // The worker finishes the register step under way; poll_stop comes back here
        // when it has. The event loop keeps running, so the lamps keep blinking.
        if (!closing_) {
            closing_ = true;
            command1_->setEnabled(false);
        }
        event->ignore();
        return;
    }
    if (worker_) worker_->join();
    closing_ = false;
    closed_ = true;
    timer1_->stop();
    refresh_timer_->stop();
    stop_timer_->stop();
    refresh_from_board();
    ctx_.databases.close_all();
    ctx_.log.close();
    event->accept();
    emit closed();
}

}  // namespace cassasync::window
