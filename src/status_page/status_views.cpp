#include "status_page/status_views.h"

#include <cmath>
#include <cstdio>
#include <functional>

namespace cassasync::status_page {

namespace {

using frame::HealthSnapshot;
using frame::RegisterHealth;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20 || c == '<' || c == '>' || c == '&') {
                    // Also < > &: the document is placed inside the page's script.
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", u);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string number(double v) {
    if (!std::isfinite(v)) return "0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// A JSON object written field by field.
class Object {
public:
    Object& field(std::string_view name, const std::string& raw) {
        out_ += (out_.size() > 1 ? "," : "") + quoted(name) + ":" + raw;
        return *this;
    }
    Object& text(std::string_view name, std::string_view v) { return field(name, quoted(v)); }
    Object& integer(std::string_view name, std::int64_t v) { return field(name, std::to_string(v)); }
    Object& boolean(std::string_view name, bool v) { return field(name, v ? "true" : "false"); }
    Object& time(std::string_view name, std::int64_t v) {
        return field(name, v == 0 ? "null" : quoted(frame::clock_text(v)));
    }
    std::string done() { return out_ + "}"; }

private:
    std::string out_ = "{";
};

std::string register_json(const RegisterHealth& r) {
    std::string held = "[";
    for (const auto& h : r.held_rows) {
        if (held.size() > 1) held += ",";
        held += Object().text("step", h.step).integer("key", h.key).text("cause", h.cause).integer("tries", h.tries).done();
    }
    held += "]";
    return Object()
        .integer("number", r.number)
        .text("state", frame::register_state_name(r.state))
        .boolean("reached", r.reached)
        .time("reached_since", r.reached_since)
        .time("last_reached", r.last_reached)
        .integer("last_complete_cycle", r.last_complete_cycle)
        .time("last_complete_at", r.last_complete_at)
        .boolean("failed_last_cycle", r.failed_last_cycle)
        .field("lines_waiting", r.lines_waiting ? std::to_string(*r.lines_waiting) : "null")
        .integer("oldest_waiting_age_s", r.oldest_waiting_age_s)
        .integer("held", r.held)
        .field("held_rows", held)
        .text("semaphore", frame::semaphore_state_name(r.semaphore))
        .time("semaphore_register_since", r.semaphore_register_since)
        .integer("lines_today", r.lines_today)
        .integer("receipts_today", r.receipts_today)
        .field("takings_today", number(r.takings_today))
        .field("document_today", r.document_today ? std::to_string(*r.document_today) : "null")
        .boolean("document_today_registered", r.document_today_registered)
        .integer("earlier_documents_waiting", r.earlier_documents_waiting)
        .integer("cards_waiting", r.cards_waiting)
        .field("day_checked", r.day_checked ? "\"" + platform::short_date_of_serial(static_cast<double>(r.day_checked)) + "\"" : "null")
        .integer("day_differences", r.day_differences)
        .done();
}

// One metric family: HELP, TYPE and a sample per register.
void family(std::string& out, const HealthSnapshot& s, const char* name, const char* type, const char* help,
            const std::function<double(const RegisterHealth&)>& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& r : s.registers) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", value(r));
        out += std::string(name) + "{register=\"" + std::to_string(r.number) + "\"} " + buf + "\n";
    }
}

void single(std::string& out, const char* name, const char* type, const char* help, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " + buf + "\n";
}

}  // namespace

std::string status_json(const HealthSnapshot& s) {
    const auto& v = s.service;
    std::string regs = "[";
    for (const auto& r : s.registers) {
        if (regs.size() > 1) regs += ",";
        regs += register_json(r);
    }
    regs += "]";
    const std::string service =
        Object()
            .time("started", v.started)
            .integer("last_cycle", v.last_cycle)
            .integer("last_cycle_ms", v.last_cycle_ms)
            .time("last_cycle_end", v.last_cycle_end)
            .boolean("last_cycle_failed", v.last_cycle_failed)
            .integer("cycles_failed", v.cycles_failed)
            .field("disk_free_bytes", v.disk_free_bytes ? std::to_string(*v.disk_free_bytes) : "null")
            .field("disk_total_bytes", v.disk_total_bytes ? std::to_string(*v.disk_total_bytes) : "null")
            .text("log_file", v.log_file)
            .text("summary", v.summary)
            .text("alert", v.alert)
            .text("backup_failure", v.backup_failure)
            .done();
    return Object().field("service", service).field("registers", regs).done();
}

std::string metrics_text(const HealthSnapshot& s) {
    std::string out;
    const auto& v = s.service;
    single(out, "cassasync_cycles_total", "counter", "Processing cycles completed since start.",
           static_cast<double>(v.last_cycle));
    single(out, "cassasync_cycles_failed_total", "counter", "Processing cycles that failed since start.",
           static_cast<double>(v.cycles_failed));
    single(out, "cassasync_last_cycle_duration_seconds", "gauge", "Duration of the last cycle.",
           static_cast<double>(v.last_cycle_ms) / 1000.0);
    single(out, "cassasync_last_cycle_end_seconds", "gauge", "End of the last cycle, seconds on the shop's clock.",
           static_cast<double>(v.last_cycle_end));
    single(out, "cassasync_start_seconds", "gauge", "Start of the service, seconds on the shop's clock.",
           static_cast<double>(v.started));
    if (v.disk_free_bytes) {
        single(out, "cassasync_disk_free_bytes", "gauge", "Free space under the shop's root.",
               static_cast<double>(*v.disk_free_bytes));
    }
    family(out, s, "cassasync_register_reached", "gauge", "1 when the register answered at the last check.",
           [](const RegisterHealth& r) { return r.reached ? 1.0 : 0.0; });
    family(out, s, "cassasync_register_failed", "gauge", "1 when a step of the register failed in the last cycle.",
           [](const RegisterHealth& r) { return r.failed_last_cycle ? 1.0 : 0.0; });
    family(out, s, "cassasync_register_last_complete_cycle", "gauge",
           "The last cycle whose steps all completed at the register.",
           [](const RegisterHealth& r) { return static_cast<double>(r.last_complete_cycle); });
    family(out, s, "cassasync_register_lines_waiting", "gauge", "Receipt lines waiting at the register.",
           [](const RegisterHealth& r) { return static_cast<double>(r.lines_waiting.value_or(0)); });
    family(out, s, "cassasync_register_oldest_waiting_seconds", "gauge", "Age of the oldest waiting line.",
           [](const RegisterHealth& r) { return static_cast<double>(r.oldest_waiting_age_s); });
    family(out, s, "cassasync_register_held_rows", "gauge", "Rows of the register held back.",
           [](const RegisterHealth& r) { return static_cast<double>(r.held); });
    family(out, s, "cassasync_register_semaphore_by_register", "gauge",
           "1 while the register's own software holds its semaphore.",
           [](const RegisterHealth& r) { return r.semaphore == frame::SemaphoreState::register_software ? 1.0 : 0.0; });
    family(out, s, "cassasync_register_lines_today", "gauge", "Receipt lines imported today.",
           [](const RegisterHealth& r) { return static_cast<double>(r.lines_today); });
    family(out, s, "cassasync_register_receipts_today", "gauge", "Receipts imported today.",
           [](const RegisterHealth& r) { return static_cast<double>(r.receipts_today); });
    family(out, s, "cassasync_register_takings_today", "gauge", "Sum of the totals of the lines imported today.",
           [](const RegisterHealth& r) { return r.takings_today; });
    family(out, s, "cassasync_register_document_registered", "gauge", "1 when today's document is registered.",
           [](const RegisterHealth& r) { return r.document_today_registered ? 1.0 : 0.0; });
    family(out, s, "cassasync_register_earlier_documents_waiting", "gauge",
           "Documents of earlier days still waiting for registration.",
           [](const RegisterHealth& r) { return static_cast<double>(r.earlier_documents_waiting); });
    family(out, s, "cassasync_register_cards_waiting", "gauge", "Card records waiting to be sent.",
           [](const RegisterHealth& r) { return static_cast<double>(r.cards_waiting); });
    family(out, s, "cassasync_register_day_differences", "gauge",
           "Differences the check of the register's last closed day found (0: it agreed).",
           [](const RegisterHealth& r) { return static_cast<double>(r.day_differences); });
    single(out, "cassasync_backup_failed", "gauge", "1 while the last backup tried failed.",
           s.service.backup_failure.empty() ? 0.0 : 1.0);
    return out;
}

std::string status_html(const HealthSnapshot& s) {
    static constexpr std::string_view kPlaceholder = "null/*SNAPSHOT*/";
    std::string page(embedded_page());
    const auto at = page.find(kPlaceholder);
    if (at != std::string::npos) page.replace(at, kPlaceholder.size(), status_json(s));
    return page;
}

}  // namespace cassasync::status_page
