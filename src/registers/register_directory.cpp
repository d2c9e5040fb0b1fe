#include "registers/register_directory.h"

#include "base/text.h"
#include "data/record_set.h"

namespace cassasync::registers {

namespace {

// "select * from casse where numero = " + n: the first row's field, "" when none or null.
std::string casse_field(data::Connections& databases, const core::Settings& settings, int n, const char* field) {
    auto& db = databases.open(settings.Percorso_Dati);
    data::Channel var("var");
    auto& rs = var.select(db, "casse", "numero = ?", {data::integer(n)}, "rowid");
    if (rs.eof()) return {};
    return rs.text(field);  // a null gives ""
}

}  // namespace

std::string Percorso_Cassa(data::Connections& databases, const core::Settings& settings, int n) {
    return casse_field(databases, settings, n, "percorso");
}

std::string Percorso_Cassa_Int(data::Connections& databases, const core::Settings& settings, int n) {
    return base::trim_blanks(casse_field(databases, settings, n, "percorsoint"));
}

void forget_register(core::StepContext& ctx, int n) {
    if (n < 1 || n > core::kMaxRegisters) return;
    ctx.databases.forget(ctx.Percorsi_Casse[static_cast<std::size_t>(n)]);
    try {
        ctx.databases.forget(Percorso_Cassa_Int(ctx.databases, ctx.settings, n));
    } catch (const std::exception&) {
        // The register table itself is unreadable: nothing more to drop.
    }
}

std::vector<std::string> forget_replaced_files(core::StepContext& ctx, int n) {
    std::vector<std::string> dropped;
    if (n < 1 || n > core::kMaxRegisters) return dropped;
    std::vector<std::string> paths{ctx.Percorsi_Casse[static_cast<std::size_t>(n)]};
    try {
        paths.push_back(Percorso_Cassa_Int(ctx.databases, ctx.settings, n));
    } catch (const std::exception&) {
        // The register table itself is unreadable: the step that needs it says so.
    }
    for (const auto& path : paths) {
        if (!path.empty() && ctx.databases.forget_if_replaced(path)) dropped.push_back(path);
    }
    return dropped;
}

void fill_register_paths(core::RegisterTable& table, data::Connections& databases, const core::Settings& settings) {
    for (int n = 1; n <= core::RegisterTable::served(settings.Numero_Casse); ++n) {
        table.Casse_Elaborate[static_cast<std::size_t>(n)] = false;
        table.Percorsi_Casse[static_cast<std::size_t>(n)] = Percorso_Cassa(databases, settings, n);
    }
}

}  // namespace cassasync::registers
