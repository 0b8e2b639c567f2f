#include <gtest/gtest.h>

#include "Audio/EQLayout.h"
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

template <typename Bands>
void expectBands(const Bands& band, int count, const std::vector<Band>& active) {
    for (int i = 0; i < count; ++i) {
        const EQFilterParameters& b = band(i);
        if (i < static_cast<int>(active.size())) {
            const Band& want = active[static_cast<std::size_t>(i)];
            EXPECT_FALSE(b.bypass) << i;
            EXPECT_EQ(b.filterType, want.type) << i;
            EXPECT_EQ(b.frequency, want.frequency) << i;
            EXPECT_EQ(b.bandwidth, want.bandwidth) << i;
            EXPECT_EQ(b.gain, want.gain) << i;
        } else {
            EXPECT_TRUE(b.bypass) << i;
        }
    }
}

void expectLayout(const EQNode& node, const std::vector<Band>& active) {
    expectBands([&](int i) -> const EQFilterParameters& { return node.band(i); }, node.bandCount(),
                active);
}

void expectLayout(const EQDiagnostics& eq, const std::vector<Band>& active) {
    expectBands(
        [&](int i) -> const EQFilterParameters& { return eq.bands[static_cast<std::size_t>(i)]; },
        EQNode::kBandCount, active);
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
    shapeEQ(node, *channel);
    expectLayout(node, {{low, 80, 1.0f, 3}, {peak, 1000, 1.5f, -2}, {high, 8000, 1.0f, 5}});
    EXPECT_TRUE(node.bypass());  // eqEnabled is false, the bands are still set

    channel->eqType = EQType::bands11;
    channel->eqEnabled = true;
    shapeEQ(node, *channel);
    const float hz[] = {32, 64, 125, 250, 500, 1000, 2000, 4000, 8000, 16000, 20000};
    std::vector<Band> eleven;
    for (int i = 0; i < 11; ++i)
        eleven.push_back({peak, hz[i], 1.0f, float(i + 1)});
    expectLayout(node, eleven);
    EXPECT_FALSE(node.bypass());

    // Back to two bands: everything above band 1 is bypassed; the mid gain has no effect.
    channel->eqType = EQType::bands2;
    shapeEQ(node, *channel);
    expectLayout(node, {{low, 80, 1.0f, 3}, {high, 8000, 1.0f, 5}});

    // A short list of gains sets only the bands it has.
    channel->eqType = EQType::bands11;
    channel->eqBands = std::vector<float>{1, 2, 3, 4, 5};
    shapeEQ(node, *channel);
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
    const auto buses = channelState(*channel).buses;
    ASSERT_EQ(buses.size(), 2u);
    for (const auto& bus : buses) {
        ASSERT_TRUE(bus.eq) << bus.busId;
        EXPECT_FALSE(bus.eq->bypass) << bus.busId;
        expectLayout(*bus.eq, {{EQFilterType::lowShelf, 80, 1.0f, -4},
                               {EQFilterType::highShelf, 8000, 1.0f, 0}});
    }

    auto bus = engine->outputBusses.get()[0];
    EXPECT_TRUE(busState(1).eq.bypass);
    bus->eqEnabled = true;
    bus->eqHighGain = -10.0f;
    engine->updateBusEQ(bus);
    EXPECT_FALSE(busState(1).eq.bypass);
    EXPECT_EQ(busState(1).eq.bands[2].gain, -10.0f);
    EXPECT_EQ(busState(1).eq.bands[2].filterType, EQFilterType::highShelf);
    EXPECT_TRUE(busState(2).eq.bypass);  // the other bus is not touched

    // A bus without a graph keeps its edits until a graph is built for it.
    auto bus3 = engine->addOutputBus();
    bus3->eqEnabled = true;
    bus3->eqType = EQType::bands2;
    bus3->eqLowGain = 6.0f;
    engine->updateBusEQ(bus3);
    EXPECT_FALSE(busState(3).hasGraph);
    engine->assignDevice(engine->availableOutputDevices.get()[0], bus3);
    EXPECT_FALSE(busState(3).eq.bypass);
    EXPECT_EQ(busState(3).eq.bands[0].gain, 6.0f);

    // A channel without chains has nothing to update.
    auto lonely = std::make_shared<InputChannel>("Lonely");
    engine->updateChannelEQ(lonely);
    EXPECT_TRUE(channelState(*lonely).buses.empty());
}

}  // namespace
}  // namespace qv
