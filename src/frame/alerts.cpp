#include "frame/alerts.h"

#include <algorithm>

namespace cassasync::frame {

namespace {

constexpr const char* kStarted = "started";
constexpr const char* kRepeated = "repeated";
constexpr const char* kCleared = "cleared";
constexpr const char* kShell = "/bin/sh";
constexpr const char* kLogStarted = "ALLARME: ";
constexpr const char* kLogCleared = "ALLARME RIENTRATO: ";

std::string register_key(const char* what, int n) { return std::string(what) + ":" + std::to_string(n); }
std::string minutes(std::int64_t seconds) { return std::to_string(seconds / 60) + " minuti"; }

}  // namespace

std::vector<Alert> alerts_in_force(const HealthSnapshot& s, std::int64_t now, const AlertOptions& o) {
    std::vector<Alert> out;
    const auto& v = s.service;
    if (v.last_cycle_failed) {
        out.push_back({"cycles", AlertLevel::error,
                       "cicli non riusciti: " + std::to_string(v.cycles_failed) + " dall'avvio"});
    }
    if (!v.backup_failure.empty()) {
        out.push_back({"backup", AlertLevel::error, "copia di sicurezza non riuscita: " + v.backup_failure});
    }
    if (v.disk_free_bytes && v.disk_total_bytes) {
        const auto free = *v.disk_free_bytes;
        if (free < o.min_free_bytes ||
            static_cast<double>(free) < o.min_free_share * static_cast<double>(*v.disk_total_bytes)) {
            out.push_back({"disk", AlertLevel::error,
                           "spazio libero sul disco " + std::to_string(free / (1024 * 1024)) + " MB"});
        }
    }
    for (const auto& r : s.registers) {
        const std::string cassa = "Cassa " + std::to_string(r.number) + ": ";
        if (!r.reached && r.reached_since != 0 && now - r.reached_since > o.unreached_minutes * 60LL) {
            out.push_back({register_key("unreached", r.number), AlertLevel::error,
                           cassa + "non collegata da " + minutes(now - r.reached_since)});
        }
        if (r.semaphore == SemaphoreState::register_software && r.semaphore_register_since != 0 &&
            now - r.semaphore_register_since > o.semaphore_minutes * 60LL) {
            out.push_back({register_key("semaphore", r.number), AlertLevel::warning,
                           cassa + "semaforo tenuto dalla cassa da " + minutes(now - r.semaphore_register_since)});
        }
        if (r.day_differences > 0) {
            out.push_back({register_key("reconciliation", r.number), AlertLevel::error,
                           cassa + "la giornata del " + platform::short_date_of_serial(static_cast<double>(r.day_checked)) + " non torna: " +
                               std::to_string(r.day_differences) +
                               (r.day_differences == 1 ? " differenza" : " differenze") + " (cassasync-shop reconcile)"});
        }
        if (r.held > 0) {
            out.push_back({register_key("held", r.number), AlertLevel::warning,
                           cassa + std::to_string(r.held) + (r.held == 1 ? " riga trattenuta" : " righe trattenute")});
        }
        if (r.earlier_documents_waiting > 0) {
            out.push_back({register_key("unregistered", r.number), AlertLevel::warning,
                           cassa + std::to_string(r.earlier_documents_waiting) +
                               " documenti di giorni precedenti da registrare"});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Alert& a, const Alert& b) { return a.level < b.level; });
    return out;
}

void Alerts::evaluate(const HealthSnapshot& s) {
    const std::int64_t now = clock_seconds(ctx_.clock.now());
    const auto in_force = alerts_in_force(s, now, options_);
    std::map<std::string, Told> still;
    for (const auto& a : in_force) {
        const auto old = told_.find(a.key);
        if (old == told_.end()) {
            tell(a, kStarted);
            still[a.key] = {a, now};
        } else if (now - old->second.at >= options_.repeat_seconds) {
            tell(a, kRepeated);
            still[a.key] = {a, now};
        } else {
            still[a.key] = {a, old->second.at};
        }
    }
    for (const auto& [key, told] : told_) {
        if (!still.count(key)) tell(told.alert, kCleared);
    }
    told_ = std::move(still);
    ctx_.health.set_alert(in_force.empty() ? std::string() : in_force.front().text);
}

void Alerts::tell(const Alert& a, const char* state) {
    const bool cleared = std::string(state) == kCleared;
    const std::string line = (cleared ? kLogCleared : kLogStarted) + a.text;
    ctx_.log.progress(line);
    const char* level = a.level == AlertLevel::error ? "error" : "warning";
    const std::map<std::string, std::string> fields = {
        {"CASSASYNC_ALERT_STATE", state}, {"CASSASYNC_ALERT_LEVEL", level},
        {"CASSASYNC_ALERT_KEY", a.key}, {"CASSASYNC_ALERT_TEXT", a.text}};
    if (journal_) {
        journal_(a.level == AlertLevel::error && !cleared ? platform::JournalPriority::error
                                                          : platform::JournalPriority::warning,
                 line, fields);
    }
    if (options_.command.empty()) return;
    const Status started = ctx_.starter.start_detached_with(
        kShell, {"-c", options_.command, "cassasync-alert", state, level, a.key, a.text}, fields);
    if (!started.is_ok()) ctx_.log.progress("Comando di allarme non avviato: " + started.message());
}

}  // namespace cassasync::frame
