// SPDX-License-Identifier: Apache-2.0
// The one way both programs show a message to the user. The pieces are joined in
// order, absent (null) ones skipped, with no separators added; the joined text goes
// to the current presenter: a modal box in the programs, standard error when
// headless, a recorder in tests.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

namespace kelbos {

using MessagePresenter = std::function<void(const std::string&)>;

std::string join_message_pieces(std::initializer_list<const char*> pieces);

void show_message(std::initializer_list<const char*> pieces);

// Replaces the presenter; returns the previous one.
MessagePresenter set_message_presenter(MessagePresenter presenter);

// Writes the text and a line end to standard error. The presenter of headless runs.
void present_on_stderr(const std::string& text);

// Installs a presenter for the lifetime of this object and restores the previous one.
class ScopedMessagePresenter {
public:
    explicit ScopedMessagePresenter(MessagePresenter presenter)
        : previous_(set_message_presenter(std::move(presenter))) {}
    ~ScopedMessagePresenter() { set_message_presenter(std::move(previous_)); }
    ScopedMessagePresenter(const ScopedMessagePresenter&) = delete;
    ScopedMessagePresenter& operator=(const ScopedMessagePresenter&) = delete;

private:
    MessagePresenter previous_;
};

}  // namespace kelbos
