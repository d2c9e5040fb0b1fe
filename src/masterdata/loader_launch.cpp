#include "masterdata/loader_launch.h"
namespace cassasync::masterdata {
void start_qvo(frame::Context&) {}  // STUB: not built yet
}
