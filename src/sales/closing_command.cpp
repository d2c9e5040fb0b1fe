#include "sales/closing_command.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "core/register_vocabulary.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "sales/reconciliation.h"
#include "sales/sale_registration.h"

namespace cassasync::sales {

namespace {


constexpr const char* kChecking = "- Controllo se \xC3\xA8 stata avviata una chiusura  ";
constexpr const char* kNotRequested = "- Comando di  chiusura non avviato ";
constexpr const char* kRequested = "- Comando di chiusura avviato  ";
constexpr const char* kReceived = "Ricevuto Comando di chiusura dalla cassa nr ";
constexpr const char* kReconciled = "- Riconciliazione: ";
constexpr const char* kDifference = "-   ";

// "\\" + host + "\cash\cisonodati.txt" for a register path "\\host\share\...". A path
// that is not a network path names no host, and the register cannot have left a
// request for it: no name.
std::optional<std::string> flag_file_name(const std::string& register_path) {
    const auto parts = base::split(register_path, '\\');
    if (parts.size() < 4 || !parts[0].empty() || !parts[1].empty() || parts[2].empty()) return std::nullopt;
    return "\\\\" + parts[2] + core::kCloseRequestFolder + core::kCloseRequestFile;
}

// The day just closed, checked against the register: one verdict line, then one line per
// difference. A check that fails is itself one line; the close is done either way.
void log_reconciliation(core::StepContext& ctx, int n, const std::string& register_path, long today) {
    try {
        const RegisterDayCheck check = reconcile_register(ctx.paths, ctx.databases.central(), n, register_path, today);
        ctx.log.write(kReconciled + verdict_line(check));
        if (check.verdict != Verdict::not_checked) {
            ctx.day_checks.at(static_cast<std::size_t>(n)) = {
                today, check.verdict == Verdict::differs ? static_cast<int>(check.differences.size()) : 0};
        }
        if (check.verdict == Verdict::differs) {
            for (const auto& difference : check.differences) ctx.log.write(kDifference + difference);
        }
    } catch (const std::exception& e) {
        ctx.log.write(kReconciled + std::string("register ") + std::to_string(n) + ": NOT CHECKED: " + e.what());
    }
}

}  // namespace

void Controllo_Chiusura(core::StepContext& ctx, int n, const std::string& register_path, long today) {
    const auto flag = flag_file_name(register_path);
    if (!flag) return;

    ctx.log.write(kChecking + *flag);
    // A register folder that cannot be reached reads as no file: no request this time.
    const std::filesystem::path local = ctx.paths.to_local(*flag);
    if (!platform::file_exists(local)) {
        ctx.log.write(kNotRequested + *flag);
        return;
    }
    ctx.log.write(kRequested + *flag);
    ctx.log.progress(kReceived + std::to_string(n));

    // The registration (which marks the document "R") and only then the deletion of the
    // request: a failure or a crash before the commit leaves the file, and the next cycle
    // registers the document again (the registration recomputes the same values), so a
    // request is never lost and never half carried out.
    {
        // Today's year, whatever year the service started in.
        const int anno = platform::from_serial(static_cast<double>(today)).year;
        data::Database& central = ctx.databases.central();
        data::Transaction transaction(central);
        Registra_Vendita(central, ctx.log, anno, n, today);
        transaction.commit();
    }

    std::error_code ec;
    std::filesystem::remove(local, ec);
    if (ec) {
        // Raised as the step's error type, so the cycle logs it at the register boundary;
        // the request stays and is carried out again (the registration is repeatable).
        throw data::DbError::file_failure("cannot delete the close request " + *flag + " of register " +
                                          std::to_string(n) + ": " + ec.message());
    }
    ctx.last_close_day = today;
    log_reconciliation(ctx, n, register_path, today);
}

}  // namespace cassasync::sales
