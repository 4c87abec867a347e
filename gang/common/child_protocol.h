// What the production line and the processes it starts (one per port) say
// to each other: the one definition of both directions.
//
// Child to parent, over a pipe, one line per message, written whole:
//   "W <problem>"          waiting for a board (problem: why the port is not usable)
//   "B <identity>"         a board is there and its programming starts; the
//                          board's identity as one line of JSON
//   "P <phase> <percent>"  the core's phase (enum kelvo_phase) and percent (-1: none)
//   "R <result>"           the core's result for the board
//   "E <reason>"           the board could not be programmed, and why (no result)
//   "H"                    result held: waiting for the board to be taken out
//   "N <identity>"         a board is there but not in download mode (it sent
//                          bytes that answer no command); identity as for "B"
//   "G"                    the board is gone
// Parent to child, as signals:
//   kCancelSignal          cancel what is on the line, then leave
//   kStopSignal            leave once the board in progress is finished
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

namespace gang {

constexpr int kCancelSignal = SIGUSR1;
constexpr int kStopSignal = SIGUSR2;

struct ChildMessage {
    enum class Kind { Waiting, Board, Progress, Result, Error, Held, Gone, NotReady };
    Kind kind = Kind::Waiting;
    int phase = 0;    // Progress
    int percent = -1; // Progress
    int result = 0;   // Result
    std::string text; // Waiting: the problem; Board, NotReady: the identity; Error: the reason
};

ChildMessage waitingMessage(const std::string &problem);
ChildMessage boardMessage(const std::string &identity);
ChildMessage progressMessage(int phase, int percent);
ChildMessage resultMessage(int result);
ChildMessage errorMessage(const std::string &reason);
ChildMessage heldMessage();
ChildMessage goneMessage();
ChildMessage notReadyMessage(const std::string &identity);

// The message as its line, newline included; line breaks inside a text
// become spaces.
std::string encodeMessage(const ChildMessage &message);
// false for a line that is no message (numbers are whole decimal integers).
bool parseMessage(const std::string &line, ChildMessage *message);

// Collects a child's output into messages, across reads that cut lines.
class MessageReader {
  public:
    std::vector<ChildMessage> feed(const char *bytes, size_t n);

  private:
    std::string pending_;
};

} // namespace gang
