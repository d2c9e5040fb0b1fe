// Command lines of the shop's programs for tests (programs.h).
#include "support/programs.h"

namespace cassasync::testing {

namespace {
Args with(Args head, const Args& more) {
    head.insert(head.end(), more.begin(), more.end());
    return head;
}
}  // namespace

Args shop_args(const std::filesystem::path& root, const Args& more) {
    return with({kShopProgram, "--root", root.string()}, more);
}

Args service_args(const std::filesystem::path& root, const Args& more) {
    return with({kServiceProgram, "--root", root.string(), "--headless"}, more);
}

Args stand_in_args(const std::filesystem::path& root, int n, const Args& more) {
    return with({kStandInProgram, "--root", root.string(), "--register", std::to_string(n)}, more);
}

}  // namespace cassasync::testing
