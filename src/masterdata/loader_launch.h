// Starts the article loader "c:\tarvi\qvo_art.exe" (mapped below the root), detached
// and without arguments, when it exists as an ordinary executable file.
#pragma once

#include "frame/context.h"

namespace cassasync::masterdata {

void start_qvo(frame::Context& ctx);

}  // namespace cassasync::masterdata
