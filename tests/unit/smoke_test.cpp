// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "events.hpp"
#include "model.hpp"

TEST(Life, TypicalTreeGivesFiveEventsBothWays) {
    tarnwick_list root;
    ASSERT_EQ(tarnwick_init(&root), 0);
    tarnwick_node *node = tarnwick_create_node(&root, nullptr, 1);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(tarnwick_create_data(&root, node, 2, "hi", 2), 0);
    const std::vector<recorded_event> expected = {start(1), start(2), data(2, "hi"), end(2), end(1)};
    EXPECT_EQ(visit_events(&root), expected);
    EXPECT_EQ(iter_events(&root), expected);
    tarnwick_dispose(&root);
    EXPECT_EQ(root.first, nullptr);
    EXPECT_EQ(root.last, nullptr);
}

TEST(Life, ModelAgreesOnTheTypicalTree) {
    tarnwick_list root;
    tarnwick_init(&root);
    tree_model model;
    tarnwick_node *node = tarnwick_create_node(&root, nullptr, 0x1001);
    const int n = model.add_node(tree_model::root, 0x1001);
    std::string payload(1000, 'x');
    ASSERT_EQ(tarnwick_create_data(&root, node, 2, payload.data(), 1000), 0);
    model.add_data(n, 2, payload);
    EXPECT_EQ(merge_data(visit_events(&root)), model.events());
    EXPECT_EQ(merge_data(iter_events(&root, node)), model.events(n));
    tarnwick_dispose(&root);
}
