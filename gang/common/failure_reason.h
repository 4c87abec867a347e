// Why a board failed, in the words of the download's own messages.
#pragma once

#include <string>

namespace gang {

// The first line of the board's output that is one of the download's
// failure messages (serial-layer errors included); failing that, the
// result code's meaning.
std::string failureReason(const std::string &output, int result);

// The meaning of a result code of the core.
std::string resultMeaning(int result);

} // namespace gang
