#include "frame/startup.h"
namespace cassasync::frame {
StartupResult run_startup(Context&) { return {}; }  // STUB: not built yet
}
