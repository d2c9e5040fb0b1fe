// Command lines of the shop's programs for tests (programs.h).
#include "support/programs.h"

#include <algorithm>

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
    Args args = with({kServiceProgram, "--root", root.string(), "--headless"}, more);
    if (std::find(more.begin(), more.end(), "--status-listen") == more.end()) {
        args.push_back("--status-listen");
        args.push_back("off");
    }
    return args;
}

Args service_command(Args args, const std::string& listen) {
    args.insert(args.begin(), kServiceProgram);
    args.push_back("--status-listen");
    args.push_back(listen);
    return args;
}

Args stand_in_args(const std::filesystem::path& root, int n, const Args& more) {
    return with({kStandInProgram, "--root", root.string(), "--register", std::to_string(n)}, more);
}

}  // namespace cassasync::testing
