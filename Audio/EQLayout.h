#pragma once

#include "Audio/EQSettings.h"
#include "Audio/Platform/EQNode.h"

namespace qv {

// Shapes an 11-band equaliser from a channel's or a bus's settings: the node's bypass follows
// the switch, the layout's bands take their gains and every other band is bypassed. The whole
// layout reaches the render thread at once. Main thread.
void shapeEQ(EQNode& node, const EQSettings& settings);

}  // namespace qv
