// The register's day in a loop, and the account of what was done (register_side.h).
#include <fstream>
#include <random>

#include "register_side/register_side.h"

namespace cassasync::register_side {

void print_counts(int register_number, const Tally& t, std::FILE* out) {
    std::fprintf(out,
                 "register %d: %d receipts, %d receipt lines rung (%d articles of which %d multipack, %d price-or-weight, "
                 "%d by amount; %d unlisted; %d points), %d cards read, %d barcodes, %d customers, %d invoices "
                 "(%d rows); semaphore busy %d times, %d actions given up, %d failed\n",
                 register_number, t.receipts, t.lines, t.article_lines, t.multipack_lines, t.price_weight_lines,
                 t.by_amount_lines, t.unlisted_lines, t.points_lines, t.cards_read, t.barcodes, t.customers,
                 t.invoices, t.invoice_rows, t.semaphore_waits, t.gave_up, t.failed);
}

bool write_summary(const Register& reg, const Tally& t, double seconds, const std::string& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "register " << reg.number() << "\n"
        << "path " << reg.path() << "\n"
        << "seconds " << seconds << "\n"
        << "receipts " << t.receipts << "\n"
        << "lines " << t.lines << "\n"
        << "article_lines " << t.article_lines << "\n"
        << "multipack_lines " << t.multipack_lines << "\n"
        << "price_weight_lines " << t.price_weight_lines << "\n"
        << "by_amount_lines " << t.by_amount_lines << "\n"
        << "unlisted_lines " << t.unlisted_lines << "\n"
        << "points_lines " << t.points_lines << "\n"
        << "cards_read " << t.cards_read << "\n"
        << "barcodes " << t.barcodes << "\n"
        << "customers " << t.customers << "\n"
        << "invoices " << t.invoices << "\n"
        << "invoice_rows " << t.invoice_rows << "\n"
        << "semaphore_waits " << t.semaphore_waits << "\n"
        << "gave_up " << t.gave_up << "\n"
        << "failed " << t.failed << "\n";
    for (const auto& c : t.cards) out << "card " << c << "\n";
    for (const auto& b : t.barcode_list) out << "barcode " << b << "\n";
    for (auto c : t.customer_list) out << "customer " << c << "\n";
    for (auto n : t.invoice_list) out << "invoice " << n << "\n";
    out.flush();
    return static_cast<bool>(out);
}

namespace {

enum class Action { ring, card, article, customer, invoice };

Action pick_action(std::mt19937_64& random) {
    // Mostly receipts, some card readings, now and then a master-data change or an invoice.
    const int roll = std::uniform_int_distribution<int>(1, 100)(random);
    if (roll <= 72) return Action::ring;
    if (roll <= 87) return Action::card;
    if (roll <= 92) return Action::article;
    if (roll <= 96) return Action::customer;
    return Action::invoice;
}

}  // namespace

MixResult run_mix(Register& reg, Waiter& stop, double rate, double seconds, std::uint64_t seed) {
    MixResult result;
    Tally& tally = result.tally;
    std::mt19937_64 random(seed ? seed * 7919 + 17 : std::random_device{}());
    const auto start = std::chrono::steady_clock::now();
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto next = start;
    auto last_reload = start;
    std::string last_error;
    while (!stop.stopped()) {
        const auto now = std::chrono::steady_clock::now();
        if (seconds > 0 && now - start >= std::chrono::duration<double>(seconds)) break;
        // Articles and customers the service took in show up in the catalogue.
        if (now - last_reload >= std::chrono::seconds(10)) {
            try {
                reg.reload_catalogue();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "cassasync-register %d: catalogue not reloaded: %s\n", reg.number(), e.what());
            }
            last_reload = now;
        }
        try {
            switch (pick_action(random)) {
                case Action::ring: reg.ring(tally, 0, CardChoice::by_chance, &stop); break;
                case Action::card: reg.card(tally, &stop); break;
                case Action::article: reg.article(tally, &stop); break;
                case Action::customer: reg.customer(tally, &stop); break;
                case Action::invoice: reg.invoice(tally, &stop); break;
            }
        } catch (const std::exception& e) {
            ++tally.failed;
            if (last_error != e.what()) {
                std::fprintf(stderr, "cassasync-register %d: %s\n", reg.number(), e.what());
                last_error = e.what();
            }
        }
        next += interval;
        const auto after = std::chrono::steady_clock::now();
        if (next < after) next = after;  // behind schedule: carry on, no burst
        auto until = next - after;
        if (seconds > 0) {
            const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds));
            if (end - after < until) until = end - after;
        }
        if (stop.wait(std::chrono::duration_cast<std::chrono::milliseconds>(until))) break;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.seconds = elapsed;
    return result;
}

}  // namespace cassasync::register_side
