// SPDX-License-Identifier: Apache-2.0
#include "receiver/engine/receive_buffer_pool.h"

#include <gtest/gtest.h>

using namespace kelbos;

TEST(ReceiveBufferPool, EachNestedCallGetsItsOwnBufferAndTheyAreReused) {
    ReceiveBufferPool pool(150000);
    const std::uint8_t* outer_data = nullptr;
    {
        auto outer = pool.take();
        outer_data = outer.data();
        EXPECT_EQ(outer.size(), 150000u);
        {
            auto inner = pool.take();  // a nested call while the outer one holds its buffer
            EXPECT_NE(inner.data(), outer.data());
            EXPECT_EQ(pool.buffers_made(), 2u);
        }
        EXPECT_EQ(pool.buffers_idle(), 1u);
    }
    EXPECT_EQ(pool.buffers_idle(), 2u);

    // Later calls reuse what was made: no new buffer for any depth seen before.
    for (int i = 0; i < 100; ++i) {
        auto a = pool.take();
        auto b = pool.take();
        a.data()[149999] = 1;
        b.data()[0] = 2;
    }
    EXPECT_EQ(pool.buffers_made(), 2u);
    EXPECT_EQ(pool.buffers_idle(), 2u);
    auto again = pool.take();
    auto other = pool.take();
    EXPECT_TRUE(again.data() == outer_data || other.data() == outer_data);
}
