// Whether a register's machine answers: the host address is taken out of its database
// path and one ICMP echo is sent to it. Host names are never resolved; only a dotted
// IPv4 address in the path can be reached. Every failure is simply "not reachable".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/step_context.h"
#include "platform/pinger.h"

namespace cassasync::registers {

// The host between the first "\\" and the next "\" within the first 50 characters.
std::optional<std::string> host_of_path(const std::string& path);
// Four decimal parts, each taken modulo 256, first part in the lowest byte; fewer than
// four parts give 0; a fifth part or a part that is not a number is an error (nullopt).
std::optional<std::uint32_t> Converti_Indirizzo(const std::string& dotted);
// The echo status: 0 when the host answered.
std::uint32_t Esegui_Ping(platform::Pinger& pinger, const std::string& host);
// Whether the register at `path` ("\\host\share\file") answers an echo: false for a path
// that names no host.
bool Verifica_Cassa(platform::Pinger& pinger, const std::string& path);

// Start-up pass: every served register checked once, lamp coloured, outcome logged.
void check_registers_at_startup(core::StepContext& ctx);

}  // namespace cassasync::registers
