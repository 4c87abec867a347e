// Why a board failed, in the words of the download's own messages.
#pragma once

#include <string>

namespace gang {

// The first line of the board's output that is one of the download's
// failure messages (serial-layer errors included); failing that, the
// result code's meaning.
std::string failureReason(const std::string &output, int result);

// text with what a terminal, a CSV reader or a JSON encoder could take for
// something else left out: escape sequences (CSI, OSC and the like) whole,
// other control characters and every byte outside printable ASCII. Tabs
// become spaces. The board's output holds bytes echoed from the device.
std::string printableText(const std::string &text);

// The meaning of a result code of the core.
std::string resultMeaning(int result);

} // namespace gang
