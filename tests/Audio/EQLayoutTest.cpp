#include <gtest/gtest.h>

#include "EngineFixture.h"

namespace qv {
namespace {

using testing::EngineTest;

struct Band {
    EQFilterType type;
    float frequency;
    float bandwidth;
    float gain;
};

void expectLayout(const EQNode& node, const std::vector<Band>& active) {
    for (int i = 0; i < node.bandCount(); ++i) {
        const auto& band = node.band(i);
        if (i < static_cast<int>(active.size())) {
            const Band& want = active[static_cast<std::size_t>(i)];
            EXPECT_FALSE(band.bypass) << i;
            EXPECT_EQ(band.filterType, want.type) << i;
            EXPECT_EQ(band.frequency, want.frequency) << i;
            EXPECT_EQ(band.bandwidth, want.bandwidth) << i;
            EXPECT_EQ(band.gain, want.gain) << i;
        } else {
            EXPECT_TRUE(band.bypass) << i;
        }
    }
}

TEST_F(EngineTest, EqualiserLayoutsShapeTheNodes) {
    start();
    auto channel = engine->addInputChannel();
    channel->eqLowGain = 3.0f;
    channel->eqMidGain = -2.0f;
    channel->eqHighGain = 5.0f;
    channel->eqBands = std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EQNode node;
    const auto low = EQFilterType::lowShelf;
    const auto high = EQFilterType::highShelf;
    const auto peak = EQFilterType::parametric;

    channel->eqType = EQType::bands3;
    engine->configureEQNode(node, *channel);
    expectLayout(node, {{low, 80, 1.0f, 3}, {peak, 1000, 1.5f, -2}, {high, 8000, 1.0f, 5}});
    EXPECT_TRUE(node.bypass());  // eqEnabled is false, the bands are still set

    channel->eqType = EQType::bands11;
    channel->eqEnabled = true;
    engine->configureEQNode(node, *channel);
    const float hz[] = {32, 64, 125, 250, 500, 1000, 2000, 4000, 8000, 16000, 20000};
    std::vector<Band> eleven;
    for (int i = 0; i < 11; ++i)
        eleven.push_back({peak, hz[i], 1.0f, float(i + 1)});
    expectLayout(node, eleven);
    EXPECT_FALSE(node.bypass());

    // Back to two bands: everything above band 1 is bypassed; the mid gain has no effect.
    channel->eqType = EQType::bands2;
    engine->configureEQNode(node, *channel);
    expectLayout(node, {{low, 80, 1.0f, 3}, {high, 8000, 1.0f, 5}});

    // A short list of gains sets only the bands it has.
    channel->eqType = EQType::bands11;
    channel->eqBands = std::vector<float>{1, 2, 3, 4, 5};
    engine->configureEQNode(node, *channel);
    expectLayout(node, {eleven.begin(), eleven.begin() + 5});
}

TEST_F(EngineTest, ChannelEqualiserUpdatesEveryBusCopyAndBusEqualiserItsOwnNode) {
    start();
    auto bus2 = engine->addOutputBus();
    engine->assignDevice(engine->availableOutputDevices.get()[1], bus2);
    auto channel = engine->addInputChannel();
    channel->eqEnabled = true;
    channel->eqType = EQType::bands2;
    channel->eqLowGain = -4.0f;
    engine->updateChannelEQ(channel);
    ASSERT_EQ(channel->busEQNodes.size(), 2u);
    for (const auto& [busId, node] : channel->busEQNodes) {
        EXPECT_FALSE(node->bypass()) << busId;
        EXPECT_EQ(node->band(0).gain, -4.0f) << busId;
        EXPECT_TRUE(node->band(2).bypass) << busId;
    }

    auto bus = engine->outputBusses.get()[0];
    EXPECT_TRUE(bus->eqNode->bypass());
    bus->eqEnabled = true;
    bus->eqHighGain = -10.0f;
    engine->configureBusEQNode(*bus->eqNode, *bus);
    EXPECT_FALSE(bus->eqNode->bypass());
    EXPECT_EQ(bus->eqNode->band(2).gain, -10.0f);
    EXPECT_EQ(bus->eqNode->band(2).filterType, EQFilterType::highShelf);

    // A channel without bound buses has no node to update.
    auto lonely = std::make_shared<InputChannel>("Lonely");
    engine->updateChannelEQ(lonely);
    EXPECT_TRUE(lonely->busEQNodes.empty());
}

}  // namespace
}  // namespace qv
