// The register side's number, barcode and time-stamp helpers (line_values.h).
#include "register_side/line_values.h"

#include <cmath>

namespace cassasync::register_side {

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::string pad_digits(std::int64_t value, int width) {
    std::string s = std::to_string(value);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width - s.size()), '0');
    return s;
}

char ean_check_digit(const std::string& twelve) {
    int sum = 0;
    for (std::size_t i = 0; i < 12 && i < twelve.size(); ++i) {
        const int d = twelve[i] - '0';
        sum += (i % 2 == 0) ? d : 3 * d;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

Moment now_moment() {
    platform::SystemClock clock;
    Moment m;
    m.local = clock.now();
    m.day = static_cast<double>(platform::day_serial(m.local.year, m.local.month, m.local.day));
    m.time = (m.local.hour * 3600.0 + m.local.minute * 60.0 + m.local.second) / 86400.0;
    return m;
}

}  // namespace cassasync::register_side
