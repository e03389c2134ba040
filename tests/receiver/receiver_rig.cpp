// SPDX-License-Identifier: Apache-2.0
#include "receiver_rig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <cstdlib>
#include <fstream>

#include "shell/row_widget.h"

namespace kelbos::test {

TempScene::TempScene(const std::string& text) {
    // With the extension the open dialog offers, so that it adds none of its own.
    char name[] = "/tmp/kelbosrx-scene-XXXXXX.klx";
    const int fd = ::mkstemps(name, 4);
    if (fd >= 0) ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << text;
}

TempScene::~TempScene() {
    ::unlink(path_.c_str());
}

std::string shipped_scene() {
    return std::string(KELBOS_SCENES_DIR) + "/kelbostx.init";
}

ReceiverRig::ReceiverRig(RigOptions options) {
    presenter_ = std::make_unique<ScopedMessagePresenter>([this](const std::string& text) {
        messages.push_back(text);
        if (on_message) on_message(text);
    });
    json_ = std::tmpfile();
    ReceiverOptions o;
    // Two words: the second names the file as it is.
    o.words = {"kelbosrx", options.scene.empty() ? std::string("/nonexistent/kelbos.init") : options.scene};
    o.engine.ports = options.ports;
    o.json = options.json;
    o.json_out = json_;
    if (!options.timer_ticks) o.tick_period = std::chrono::hours(24);
    o.quit = [this](int code) { quits.push_back(code); };
    program_ = std::make_unique<ReceiverProgram>(std::move(o));
    program_->show();
    // Painting (the bars' in particular) needs the window on the screen.
    if (!QTest::qWaitForWindowExposed(program_->window())) ADD_FAILURE() << "the window was not exposed";
}

ReceiverRig::~ReceiverRig() {
    program_.reset();
    if (json_) std::fclose(json_);
}

ConnId ReceiverRig::link(const std::string& name, std::uint8_t transport, std::uint32_t kelbo_bytes,
                         const std::string& colour) {
    const ConnId c = program_->alloc_conn_id();
    if (c >= CONN_FIRST && c <= CONN_LAST) program_->new_link(c, name, colour, transport, kelbo_bytes);
    return c;
}

int ReceiverRig::header_height() const {
    return header()->height();
}

int ReceiverRig::row_height() const {
    return row(CONN_NONE)->height();
}

int ReceiverRig::row_y(ConnId conn_id) const {
    const RowWidget* widget = row(conn_id);
    return widget ? widget->y() : -1;
}

std::vector<std::string> ReceiverRig::json_lines() {
    std::vector<std::string> lines;
    std::fflush(json_);
    std::rewind(json_);
    char buf[4096];
    while (std::fgets(buf, sizeof buf, json_)) {
        std::string line = buf;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        lines.push_back(line);
    }
    std::fseek(json_, 0, SEEK_END);
    return lines;
}

}  // namespace kelbos::test
