// SPDX-License-Identifier: Apache-2.0
#include "core/show_message.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kelbos;

TEST(ShowMessage, JoinsPiecesAndGoesToTheCurrentPresenter) {
    EXPECT_EQ(join_message_pieces({"Unable to start ", "UDP", " connection to ", "host", "\n", nullptr}),
              "Unable to start UDP connection to host\n");
    EXPECT_EQ(join_message_pieces({nullptr, "a", nullptr, "b"}), "ab");
    EXPECT_EQ(join_message_pieces({}), "");

    // Shown to the current presenter; the previous one comes back after it.
    std::vector<std::string> outer, inner;
    ScopedMessagePresenter a([&](const std::string& t) { outer.push_back(t); });
    {
        ScopedMessagePresenter b([&](const std::string& t) { inner.push_back(t); });
        show_message({"one", "\n", "two"});
    }
    show_message({"three"});
    EXPECT_EQ(inner, std::vector<std::string>{"one\ntwo"});
    EXPECT_EQ(outer, std::vector<std::string>{"three"});
}
