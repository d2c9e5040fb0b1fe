// The main window: one lamp per register, blinking while the service runs, the two
// counters per register, the register count ("Numero Pos"), the status text and the
// exit button "Uscita". It reads the status board on a short timer and never touches
// the databases. Closing it, by the button, by a stop request (signals) or because the
// worker ended on its own, asks the worker to stop, waits for the register step under
// way without blocking the event loop, then closes the open files and emits closed().
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "frame/context.h"
#include "window/lamp.h"
#include "window/worker_thread.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace cassasync::window {

class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kBlinkMs = 1000;
    static constexpr int kRefreshMs = 200;
    static constexpr int kStopPollMs = 100;

    // `worker` may be null (no cycle running); it must outlive the window.
    explicit MainWindow(frame::Context& ctx, WorkerThread* worker = nullptr, QWidget* parent = nullptr);

    Lamp* lamp(int n) const { return lamps_.at(static_cast<std::size_t>(n)); }
    QLabel* pun(int n) const { return pun_.at(static_cast<std::size_t>(n)); }
    QLabel* num(int n) const { return num_.at(static_cast<std::size_t>(n)); }
    // True from the moment a close was asked until the worker has finished.
    bool closing() const { return closing_; }

public slots:
    // Timer1: flips the visibility of the served lamps.
    void blink_tick();
    // Shows the board's content when it changed since the last refresh.
    void refresh_from_board();

signals:
    // The worker has finished and the files are closed: the program can end.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void poll_stop();

private:
    void build_layout();

    frame::Context& ctx_;
    WorkerThread* worker_;
    std::array<Lamp*, core::kMaxRegisters + 1> lamps_{};
    std::array<QLabel*, core::kMaxRegisters + 1> pun_{};
    std::array<QLabel*, core::kMaxRegisters + 1> num_{};
    QLineEdit* nrposw_ = nullptr;
    QPlainTextEdit* txt_status_ = nullptr;
    QLabel* last_cycle_ = nullptr;
    QPushButton* command1_ = nullptr;
    QTimer* timer1_ = nullptr;
    QTimer* refresh_timer_ = nullptr;
    QTimer* stop_timer_ = nullptr;

    int served_ = 0;
    std::optional<std::uint64_t> shown_version_;
    std::string shown_alert_;
    bool closing_ = false;
    bool closed_ = false;
};

}  // namespace cassasync::window
