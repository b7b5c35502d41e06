#include <gtest/gtest.h>

#include "alloc_hook.hpp"
#include "tarnwick.h"

TEST(Hooked, EveryBlockIsReleasedOnce) {
    test_alloc::reset();
    tarnwick_list root;
    tarnwick_init(&root);
    tarnwick_node *node = tarnwick_create_node(&root, nullptr, 1);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(tarnwick_create_data(&root, node, 2, "hi", 2), 0);
    tarnwick_dispose(&root);
    EXPECT_EQ(test_alloc::log().allocated.size(), 2u);
    EXPECT_EQ(test_alloc::live(), 0u);
}
