// SPDX-License-Identifier: Apache-2.0
#include "core/show_message.h"

#include <cstdio>

namespace kelbos {

namespace {
MessagePresenter& current_presenter() {
    static MessagePresenter presenter = present_on_stderr;
    return presenter;
}
}  // namespace

std::string join_message_pieces(std::initializer_list<const char*> pieces) {
    std::string text;
    for (const char* piece : pieces)
        if (piece) text += piece;
    return text;
}

void show_message(std::initializer_list<const char*> pieces) {
    // Copy the presenter: a box's modal loop may run code that replaces it.
    MessagePresenter presenter = current_presenter();
    if (presenter) presenter(join_message_pieces(pieces));
}

MessagePresenter set_message_presenter(MessagePresenter presenter) {
    MessagePresenter previous = std::move(current_presenter());
    current_presenter() = std::move(presenter);
    return previous;
}

void present_on_stderr(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace kelbos
