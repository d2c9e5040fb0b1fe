// The status window over a real shop context and status board, rendered offscreen:
// lamp colours as painted, blinking of the served lamps only, the board's texts, and
// the closing sequence (stop request, wait for the worker, log closed).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>

#include "support/shop_fixture.h"
#include "window/lamp.h"
#include "window/main_window.h"
#include "window/worker_thread.h"

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace cassasync::window {
namespace {

using namespace std::chrono_literals;

bool offscreen_plugin_present() {
    for (const QString& dir : QCoreApplication::libraryPaths()) {
        QDir platforms(dir + QStringLiteral("/platforms"));
        if (!platforms.entryList({QStringLiteral("*offscreen*")}, QDir::Files).isEmpty()) return true;
    }
    return false;
}

// One QApplication for the whole test program, created on first use and kept until
// the process ends (Qt allows only one, and only on the main thread).
QApplication* application() {
    static QApplication* app = [] () -> QApplication* {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!offscreen_plugin_present()) return nullptr;
        static int argc = 1;
        static char name[] = "window_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return app;
}

// Runs the event loop until `done` holds or the deadline passes.
bool process_until(const std::function<bool()>& done, std::chrono::milliseconds deadline = 5s) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > deadline.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

QRgb centre_pixel(MainWindow& window, int n) {
    const QImage image = window.grab().toImage();
    Lamp* l = window.lamp(n);
    const QPoint centre = l->mapTo(&window, l->rect().center());
    return image.pixel(centre);
}

class MainWindowTest : public testing::ShopTest {
protected:
    void SetUp() override {
        if (!application()) GTEST_SKIP() << "no Qt offscreen platform plugin on this machine";
        for (int n = 1; n <= 3; ++n) add_register(n);
        ready();
    }

    template <typename T>
    T* child(MainWindow& window, const char* name) {
        T* found = window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << "no element named " << name;
        return found;
    }

    core::StatusBoard& board() { return ctx_->board; }
};

TEST(LampColour, RedIsTheLowByte) {
    struct Case {
        std::uint32_t value;
        int r, g, b;
    } cases[] = {
        {core::kLampGreen, 0, 255, 0},
        {core::kLampRed, 255, 0, 0},
        {0xFF0000u, 0, 0, 255},
        {0x102030u, 0x30, 0x20, 0x10},
    };
    for (const auto& c : cases) {
        const QColor colour = lamp_colour(c.value);
        EXPECT_EQ(colour.red(), c.r) << "value " << c.value;
        EXPECT_EQ(colour.green(), c.g) << "value " << c.value;
        EXPECT_EQ(colour.blue(), c.b) << "value " << c.value;
    }
}

TEST_F(MainWindowTest, ElementsCarryTheirNamesAndDesignTimeContent) {
    MainWindow window(*ctx_);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("cassasync"));
    for (int n = 1; n <= core::kMaxRegisters; ++n) {
        const std::string number = std::to_string(n);
        EXPECT_EQ(child<Lamp>(window, ("c1_" + number).c_str()), window.lamp(n));
        auto* caption = child<QLabel>(window, ("Label" + number).c_str());
        if (caption) { EXPECT_EQ(caption->text().toStdString(), number); }
        auto* pun = child<QLabel>(window, ("pun_" + number).c_str());
        auto* num = child<QLabel>(window, ("num_" + number).c_str());
        if (pun) { EXPECT_EQ(pun->text(), QStringLiteral("0000000")); }
        if (num) { EXPECT_EQ(num->text(), QStringLiteral("0000000")); }
    }
    auto* nrposw = child<QLineEdit>(window, "nrposw");
    ASSERT_NE(nrposw, nullptr);
    EXPECT_TRUE(nrposw->isReadOnly());
    auto* frame_pos = qobject_cast<QGroupBox*>(nrposw->parentWidget());
    ASSERT_NE(frame_pos, nullptr) << "nrposw is not inside a frame";
    EXPECT_EQ(frame_pos->title(), QStringLiteral("Numero Pos"));
    auto* status = child<QPlainTextEdit>(window, "txtStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isReadOnly());
    EXPECT_TRUE(status->toPlainText().isEmpty());
    auto* exit_button = child<QPushButton>(window, "Command1");
    ASSERT_NE(exit_button, nullptr);
    EXPECT_EQ(exit_button->text(), QStringLiteral("Uscita"));
    auto* timer1 = child<QTimer>(window, "Timer1");
    ASSERT_NE(timer1, nullptr);
    EXPECT_EQ(timer1->interval(), 1000);
    EXPECT_TRUE(timer1->isActive());
}

TEST_F(MainWindowTest, LampsPaintTheLastCheckAndServedOnesBlink) {
    board().set_register_count(3);
    board().set_lamp(1, core::kLampGreen);
    board().set_lamp(2, core::kLampRed);
    board().set_lamp(3, core::kLampGreen);
    MainWindow window(*ctx_);
    window.show();
    QCoreApplication::processEvents();

    EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("nrposw"))->text(), QStringLiteral("3"));
    EXPECT_EQ(centre_pixel(window, 1), qRgb(0, 255, 0));
    EXPECT_EQ(centre_pixel(window, 2), qRgb(255, 0, 0));
    EXPECT_EQ(centre_pixel(window, 3), qRgb(0, 255, 0));
    for (int n = 4; n <= core::kMaxRegisters; ++n)
        EXPECT_EQ(centre_pixel(window, n), kNeutralLamp) << "lamp " << n;
    const QRgb background = window.grab().toImage().pixel(0, 0);

    // A tick through the real timer signal: served lamps go dark, the others stay.
    auto* timer1 = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    ASSERT_TRUE(QMetaObject::invokeMethod(timer1, "timeout", Qt::DirectConnection));
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(window.lamp(n)->isHidden()) << "lamp " << n;
        EXPECT_EQ(centre_pixel(window, n), background) << "lamp " << n;
    }
    for (int n = 4; n <= core::kMaxRegisters; ++n) {
        EXPECT_FALSE(window.lamp(n)->isHidden()) << "lamp " << n;
    }
    EXPECT_EQ(centre_pixel(window, 7), kNeutralLamp);

    // Register 2 turns green while dark: it keeps its phase and lights up green.
    board().set_lamp(2, core::kLampGreen);
    board().set_lamp(1, core::kLampRed);
    window.refresh_from_board();
    EXPECT_TRUE(window.lamp(2)->isHidden());
    EXPECT_TRUE(window.lamp(1)->isHidden());
    window.blink_tick();
    for (int n = 1; n <= core::kMaxRegisters; ++n) EXPECT_FALSE(window.lamp(n)->isHidden()) << "lamp " << n;
    EXPECT_EQ(centre_pixel(window, 1), qRgb(255, 0, 0));
    EXPECT_EQ(centre_pixel(window, 2), qRgb(0, 255, 0));
    EXPECT_EQ(centre_pixel(window, 7), kNeutralLamp);
}

TEST_F(MainWindowTest, NothingBlinksBeforeTheRegisterCountIsKnown) {
    MainWindow window(*ctx_);
    window.show();
    window.blink_tick();
    for (int n = 1; n <= core::kMaxRegisters; ++n) EXPECT_FALSE(window.lamp(n)->isHidden()) << "lamp " << n;
    EXPECT_TRUE(window.findChild<QLineEdit*>(QStringLiteral("nrposw"))->text().isEmpty());
}

TEST_F(MainWindowTest, RefreshTimerShowsTheBoardTexts) {
    MainWindow window(*ctx_);
    window.show();
    board().set_register_count(3);
    board().set_counters(2, "    12", "     4");
    board().set_counters(10, "   999", "    77");
    board().set_status_text("Travaso scontrini cassa 2");
    board().set_lamp(3, core::kLampRed);

    auto* status = window.findChild<QPlainTextEdit*>(QStringLiteral("txtStatus"));
    ASSERT_TRUE(process_until([&] { return status->toPlainText() == QStringLiteral("Travaso scontrini cassa 2"); }))
        << "the refresh timer never showed the status text";
    EXPECT_EQ(window.pun(2)->text(), QStringLiteral("    12"));
    EXPECT_EQ(window.num(2)->text(), QStringLiteral("     4"));
    EXPECT_EQ(window.pun(10)->text(), QStringLiteral("   999"));
    EXPECT_EQ(window.num(10)->text(), QStringLiteral("    77"));
    EXPECT_EQ(window.pun(1)->text(), QStringLiteral("0000000"));
    EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("nrposw"))->text(), QStringLiteral("3"));
    EXPECT_EQ(window.lamp(3)->colour(), QColor(255, 0, 0));
    EXPECT_EQ(window.lamp(2)->colour(), QColor(kNeutralLamp));

    // The most serious alert in force follows the step's text, and goes when it clears.
    ctx_->health.set_alert("Cassa 3: non collegata da 16 minuti");
    ASSERT_TRUE(process_until([&] {
        return status->toPlainText() ==
               QStringLiteral("Travaso scontrini cassa 2\nALLARME: Cassa 3: non collegata da 16 minuti");
    })) << status->toPlainText().toStdString();

    // The receipt import empties the status text at its end.
    board().set_status_text("");
    ASSERT_TRUE(process_until([&] {
        return status->toPlainText() == QStringLiteral("ALLARME: Cassa 3: non collegata da 16 minuti");
    })) << status->toPlainText().toStdString();
    ctx_->health.set_alert("");
    ASSERT_TRUE(process_until([&] { return status->toPlainText().isEmpty(); }));
}

TEST_F(MainWindowTest, ExitButtonStopsAndClosesTheLog) {
    ctx_->log.write("- prima riga");
    ctx_->log.progress("seconda riga");
    MainWindow window(*ctx_);
    int closed = 0;
    QObject::connect(&window, &MainWindow::closed, [&closed] { ++closed; });
    window.show();
    ASSERT_FALSE(ctx_->stop_requested.load());

    window.findChild<QPushButton*>(QStringLiteral("Command1"))->click();

    EXPECT_TRUE(ctx_->stop_requested.load());
    EXPECT_FALSE(ctx_->log.is_open());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closed, 1);
    ctx_->log.write("- dopo la chiusura");  // dropped: the file is closed
    const auto messages = log_messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "- prima riga");
    EXPECT_EQ(messages[1], "-  seconda riga");
}

TEST_F(MainWindowTest, ClosingWaitsForTheStepUnderWay) {
    // A worker in the middle of a register step: it notices the stop request only
    // when its step ends, and writes its last line after that.
    WorkerThread worker(
        [this] {
            while (!ctx_->stop_requested.load()) std::this_thread::sleep_for(5ms);
            std::this_thread::sleep_for(1300ms);
            ctx_->log.progress("fine passo cassa 2");
        },
        ctx_->log);
    board().set_register_count(3);
    MainWindow window(*ctx_, &worker);
    int closed = 0;
    QObject::connect(&window, &MainWindow::closed, [&closed] { ++closed; });
    window.show();

    auto* exit_button = window.findChild<QPushButton*>(QStringLiteral("Command1"));
    exit_button->click();
    EXPECT_TRUE(ctx_->stop_requested.load());
    EXPECT_TRUE(window.closing());
    EXPECT_TRUE(window.isVisible()) << "the window closed before the worker finished";
    EXPECT_FALSE(exit_button->isEnabled());
    EXPECT_TRUE(ctx_->log.is_open());

    // The event loop runs while waiting: the blink timer still works.
    const bool lamp_was_hidden = window.lamp(1)->isHidden();
    bool blinked = false;
    ASSERT_TRUE(process_until([&] {
        blinked = blinked || window.lamp(1)->isHidden() != lamp_was_hidden;
        return closed == 1;
    })) << "the window never closed";
    EXPECT_TRUE(worker.finished());
    EXPECT_FALSE(ctx_->log.is_open());
    EXPECT_FALSE(window.isVisible());
    const auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "-  fine passo cassa 2");
    EXPECT_TRUE(blinked) << "the lamps stood still while the worker finished its step";
}

TEST_F(MainWindowTest, WindowClosesWhenTheWorkerEndsOrAStopIsRequested) {
    {
        // The worker ran its cycles and returned on its own.
        WorkerThread worker([] {}, ctx_->log);
        MainWindow window(*ctx_, &worker);
        int closed = 0;
        QObject::connect(&window, &MainWindow::closed, [&closed] { ++closed; });
        window.show();
        ASSERT_TRUE(process_until([&] { return closed == 1; })) << "window stayed after the worker ended";
        EXPECT_FALSE(ctx_->log.is_open());
    }
    ASSERT_TRUE(ctx_->log.open(ctx_->log.file()));
    ctx_->stop_requested.store(false);
    {
        // A signal handler sets the stop flag; the worker honours it.
        WorkerThread worker(
            [this] {
                while (!ctx_->stop_requested.load()) std::this_thread::sleep_for(5ms);
                ctx_->log.progress("fermato");
            },
            ctx_->log);
        MainWindow window(*ctx_, &worker);
        int closed = 0;
        QObject::connect(&window, &MainWindow::closed, [&closed] { ++closed; });
        window.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(closed, 0);
        ctx_->stop_requested.store(true);
        ASSERT_TRUE(process_until([&] { return closed == 1; })) << "window ignored the stop request";
        EXPECT_FALSE(window.isVisible());
        EXPECT_FALSE(ctx_->log.is_open());
        EXPECT_EQ(log_messages().back(), "-  fermato");
    }
}

TEST_F(MainWindowTest, WorkerFailureIsLoggedAndClosesTheWindow) {
    WorkerThread worker([] { throw std::runtime_error("database locked on register 2"); }, ctx_->log);
    MainWindow window(*ctx_, &worker);
    int closed = 0;
    QObject::connect(&window, &MainWindow::closed, [&closed] { ++closed; });
    window.show();
    ASSERT_TRUE(process_until([&] { return closed == 1; }));
    const auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "-  Elaborazione fermata da un errore imprevisto: database locked on register 2");
}

}  // namespace
}  // namespace cassasync::window
