// SPDX-License-Identifier: Apache-2.0
// Reads a scene file line by line as a text-mode line read with a 512-byte buffer
// would: a CR LF pair is one line end and is delivered as "\n", a line keeps its
// line end, the last line may lack one, and a line longer than MAX_LINE characters
// (line end included) comes back as MAX_LINE-character pieces, each a line of its
// own. Input comes in chunks from a source, so any size of input costs a fixed
// amount of memory.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelbos {

class InitLineReader {
public:
    static constexpr std::size_t MAX_LINE = 511;

    // Fills the buffer with up to `size` bytes and returns how many; 0 ends the input
    // (also on a read error).
    using ChunkSource = std::function<std::size_t(char* buffer, std::size_t size)>;

    explicit InitLineReader(ChunkSource source, std::size_t chunk_size = 65536);

    // The next line or piece, NUL bytes included; nullopt at the end of the input.
    std::optional<std::string> next_line();

private:
    // Next raw byte as 0..255, or -1 at the end of the input.
    int next_byte();
    int peek_byte();
    bool fill();

    ChunkSource source_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool at_end_ = false;
};

}  // namespace kelbos
