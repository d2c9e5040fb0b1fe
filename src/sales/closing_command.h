// The register's request to close its day: the flag file "\\host\cash\cisonodati.txt".
// When present, today's document of the register is registered with its VAT summary
// (Registra_Vendita) and the file is deleted, so each request is carried out once.
#pragma once

#include <string>

#include "core/step_context.h"

namespace cassasync::sales {

// `register_path` is the register's database path; `today` the day serial.
void Controllo_Chiusura(core::StepContext& ctx, int n, const std::string& register_path, long today);

}  // namespace cassasync::sales
