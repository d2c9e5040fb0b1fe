#include "registers/reachability.h"

#include <charconv>
#include <vector>

#include "base/text.h"

namespace cassasync::registers {

std::optional<std::string> host_of_path(const std::string& path) {
    // Positions are 1-based as the scan is described: i runs 1..50.
    const std::size_t limit = 50;
    std::size_t start = 0;  // 1-based start of the host; 0 = not found yet
    std::size_t i = 1;
    while (i <= limit && i <= path.size()) {
        if (i + 1 <= path.size() && path[i - 1] == '\\' && path[i] == '\\') {
            start = i + 2;
            i += 2;
        }
        if (i <= path.size() && path[i - 1] == '\\' && start != 0) {
            return path.substr(start - 1, i - start);
        }
        ++i;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Converti_Indirizzo(const std::string& dotted) {
    const std::vector<std::string> parts = base::split(dotted, '.');
    if (parts.size() > 4) return std::nullopt;
    if (parts.size() < 4) return 0u;
    std::uint32_t address = 0;
    for (int k = 0; k < 4; ++k) {
        const auto& p = parts[static_cast<std::size_t>(k)];
        long long value = 0;
        auto r = std::from_chars(p.data(), p.data() + p.size(), value);
        if (p.empty() || r.ec != std::errc() || r.ptr != p.data() + p.size() || value < 0) return std::nullopt;
        address |= static_cast<std::uint32_t>(value % 256) << (8 * k);
    }
    return address;
}

std::uint32_t Esegui_Ping(platform::Pinger& pinger, const std::string& host) {
    auto address = Converti_Indirizzo(host);
    if (!address || *address == 0) return platform::kEchoFailed;
    return pinger.echo(*address);
}

bool Verifica_Cassa(platform::Pinger& pinger, const std::string& path) {
    if (path.empty()) return false;
    // At least three parts when split at "\".
    int separators = 0;
    for (char c : path)
        if (c == '\\') ++separators;
    if (separators < 2) return false;
    auto host = host_of_path(path);
    if (!host) return false;
    try {
        return Esegui_Ping(pinger, *host) == platform::kEchoSuccess;
    } catch (...) {
        return false;
    }
}

void check_registers_at_startup(core::StepContext& ctx) {
    for (int n = 1; n <= ctx.served_registers(); ++n) {
        ctx.Casse_Elaborate[static_cast<std::size_t>(n)] = false;
        if (Verifica_Cassa(ctx.pinger, ctx.Percorsi_Casse[static_cast<std::size_t>(n)])) {
            ctx.board.set_lamp(n, core::kLampGreen);
            ctx.log.write("- Cassa " + std::to_string(n) + " OK");
        } else {
            ctx.board.set_lamp(n, core::kLampRed);
            ctx.log.progress("Controllo cassa Nr." + std::to_string(n) + " ...NON COLLEGATA");
        }
    }
}

}  // namespace cassasync::registers
