// Where a test finds the shop's real programs: the ones this build made.
#pragma once

#include <string>

namespace cassasync::testing {

inline const std::string kBinaryDir = CASSASYNC_BINARY_DIR;
inline const std::string kServiceProgram = kBinaryDir + "/app/cassasync";
inline const std::string kShopProgram = kBinaryDir + "/tools/cassasync-shop";
inline const std::string kStandInProgram = kBinaryDir + "/tools/cassasync-register";

}  // namespace cassasync::testing
