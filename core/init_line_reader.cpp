// SPDX-License-Identifier: Apache-2.0
#include "core/init_line_reader.h"

#include <utility>

namespace kelbos {

InitLineReader::InitLineReader(ChunkSource source, std::size_t chunk_size)
    : source_(std::move(source)), buffer_(chunk_size > 0 ? chunk_size : 1) {}

bool InitLineReader::fill() {
    if (at_end_) return false;
    pos_ = 0;
    end_ = source_ ? source_(buffer_.data(), buffer_.size()) : 0;
    if (end_ > buffer_.size()) end_ = buffer_.size();
    if (end_ == 0) at_end_ = true;
    return end_ > 0;
}

int InitLineReader::peek_byte() {
    if (pos_ >= end_ && !fill()) return -1;
    return static_cast<unsigned char>(buffer_[pos_]);
}

int InitLineReader::next_byte() {
    const int c = peek_byte();
    if (c >= 0) ++pos_;
    return c;
}

std::optional<std::string> InitLineReader::next_line() {
    std::string line;
    while (line.size() < MAX_LINE) {
        int c = next_byte();
        if (c < 0) break;
        // Text mode: a CR directly followed by LF is one line end. A lone CR stays.
        if (c == '\r' && peek_byte() == '\n') c = next_byte();
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    if (line.empty()) return std::nullopt;
    return line;
}

}  // namespace kelbos
