// The status window: a lamp per register blinking while the service runs, the two
// counters per register, the register count, the status text and the exit button.
// It shows the status board that the worker thread updates and never touches the
// databases itself. The worker runs on its own thread for the whole life of the window.
#pragma once

#include <string>

#include "frame/context.h"
#include "frame/cycle.h"

namespace cassasync::window {

// True when the environment names a display (or a Qt platform).
bool display_variable_set();

// True when a Qt platform can be opened (a display, or QT_QPA_PLATFORM=offscreen): a
// child process of this program (started from /proc/self/exe) tries it first.
bool display_available();

// In that child: probing_display() is true, and main returns probe_display() at once,
// which ends the process if no display can be opened.
bool probing_display();
int probe_display(int& argc, char** argv);

// Shows the window, runs the worker (run_worker) on its own thread and returns when the
// window closes: by the exit button, by ctx.stop_requested (signals), or when the
// worker has run its cycles. `startup_message` is shown in a message box when not
// empty. Closing lets the worker finish the register step under way, then closes the
// log. Returns the program's exit status.
int run_status_window(int& argc, char** argv, frame::Context& ctx, const frame::WorkerOptions& options,
                      const std::string& startup_message);

}  // namespace cassasync::window
