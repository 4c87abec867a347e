// The chip's serial flash: a byte array that starts erased (0xFF) and can be
// loaded from and saved to a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class FlashModel {
  public:
    // Sets up a flash of size bytes, loaded from file when that exists
    // (a shorter file leaves the rest erased). An empty file name keeps the
    // flash in memory only.
    bool init(uint64_t size, const std::string &file, std::string &error);

    uint64_t size() const { return bytes_.size(); }
    // True when [offset, offset + length) lies wholly inside the flash.
    bool contains(uint64_t offset, uint64_t length) const;

    // Both do nothing and return false unless the range is inside the flash.
    bool erase(uint64_t offset, uint64_t length);
    bool write(uint64_t offset, const uint8_t *data, uint64_t length);
    const uint8_t *at(uint64_t offset) const { return bytes_.data() + offset; }

    // Writes the flash file atomically (a temporary file renamed over it).
    bool save(std::string &error) const;
    // The same into another file (a removed board's flash).
    bool saveTo(const std::string &file, std::string &error) const;
    // Every byte back to 0xFF (a new board).
    void eraseAll();

  private:
    std::vector<uint8_t> bytes_;
    std::string file_;
};

} // namespace sim
