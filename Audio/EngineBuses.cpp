// Output buses: adding and removing them, binding devices, pushing their settings to the
// graphs, and the recovery of a bus whose device configuration changed.

#include <algorithm>

#include "Audio/BusGraphs.h"
#include "Audio/ChannelRouting.h"
#include "Audio/DeviceCatalog.h"
#include "Audio/MeterHub.h"
#include "Audio/MultiOutputEngine.h"
#include "Foundation/Log.h"

namespace qv {

void MultiOutputEngine::setupOutputBus(const std::shared_ptr<OutputBus>& bus,
                                       const AudioOutputDevice& device, Completion started) {
    buses_->build(*bus, device.id);
    if (isRunning.get()) {
        startBusGraph(*bus, std::move(started));
    }
    routing_->attachChannels(*bus);
    buses_->observe(bus);
    Log::line("✅ Bus " + std::to_string(bus->id) + " → " + device.name);
}

bool MultiOutputEngine::startBusGraph(const OutputBus& bus, Completion onStarted) {
    const int id = bus.id;
    auto failed = [this, id](const AudioResult& result) {
        Log::line("❌ Could not start output engine: " + result.description());
        if (!result.ok() && result.error() == AudioError::streamNotStarted) {
            retryBusStart(id);
        }
    };
    const AudioResult started = buses_->start(bus.id, failed, std::move(onStarted));
    if (!started.ok()) {
        failed(started);
    }
    return started.ok();
}

std::shared_ptr<OutputBus> MultiOutputEngine::addOutputBus() {
    auto list = outputBusses.get();
    if (list.size() > 3) {
        return nullptr;
    }
    auto bus = std::make_shared<OutputBus>(nextBusId_, "Bus " + std::to_string(nextBusId_));
    ++nextBusId_;
    list.push_back(bus);
    outputBusses = std::move(list);
    Log::line("➕ Added output bus: " + bus->name.get());
    return bus;
}

void MultiOutputEngine::removeOutputBus(const std::shared_ptr<OutputBus>& bus) {
    if (!bus || outputBusses.get().size() < 2) {
        return;
    }
    auto keep = bus;
    awaitedDevices_.erase(keep->id);
    for (const auto& channel : inputChannels.get()) {
        auto assignments = channel->busAssignments.get();
        if (assignments.erase(keep->id) > 0) {
            channel->busAssignments = std::move(assignments);
        }
    }
    routing_->releaseBus(keep->id);
    // A recovery still pending for the bus goes with its watch: it would build a graph for a
    // bus that is no longer there.
    buses_->removeObserver(keep->id);
    buses_->drop(keep->id);
    auto list = outputBusses.get();
    std::erase_if(list, [&](const auto& b) { return b->id == keep->id; });
    outputBusses = std::move(list);
    Log::line("➖ Removed output bus: " + keep->name.get());
}

void MultiOutputEngine::assignDevice(const AudioOutputDevice& chosen,
                                     const std::shared_ptr<OutputBus>& bus) {
    const AudioOutputDevice device = chosen;  // callers pass elements of lists that may change
    if (isIdleSuspended.get()) {
        resumeFromIdle();
    }
    awaitedDevices_.erase(bus->id);
    buses_->removeObserver(bus->id);
    routing_->releaseBus(bus->id);
    buses_->drop(bus->id);
    bus->outputDevice = device;
    setupOutputBus(bus, device);
    if (isRunning.get()) {
        startBusGraph(*bus);
    }
}

void MultiOutputEngine::unassignDevice(const std::shared_ptr<OutputBus>& bus) {
    awaitedDevices_.erase(bus->id);
    buses_->removeObserver(bus->id);
    routing_->releaseBus(bus->id);
    buses_->drop(bus->id);
    bus->outputDevice = std::nullopt;
    Log::line("🚫 Unassigned device from " + bus->name.get());
}

void MultiOutputEngine::updateBusFader(const std::shared_ptr<OutputBus>& bus) {
    buses_->applyVolume(*bus);
}

void MultiOutputEngine::updateBusMute(const std::shared_ptr<OutputBus>& bus) {
    buses_->applyVolume(*bus);
}

void MultiOutputEngine::updateBusDelay(const std::shared_ptr<OutputBus>& bus) {
    buses_->applyDelay(*bus);
}

void MultiOutputEngine::updateBusEQ(const std::shared_ptr<OutputBus>& bus) {
    buses_->applyEQ(*bus);
}

void MultiOutputEngine::updateChannelEQ(const std::shared_ptr<InputChannel>& channel) {
    routing_->updateChannelEQ(*channel);
}

void MultiOutputEngine::updateSoloState() {
    meters_->updateSoloState();
}

void MultiOutputEngine::recoverBus(const std::shared_ptr<OutputBus>& bus) {
    auto device = bus->outputDevice.get();
    if (!device) {
        return;
    }
    auto alive = env_.hardware.isAlive(device->id);
    if (alive && *alive && buses_->isRunning(bus->id)) {
        Log::line("✅ Bus " + std::to_string(bus->id) + " engine still running, no recovery needed");
        return;
    }
    Log::line("🔧 Recovering Bus " + std::to_string(bus->id) + " (" + device->name + ")...");
    buses_->removeObserver(bus->id);
    routing_->releaseBus(bus->id);
    buses_->drop(bus->id);
    for (const auto& fresh : catalog_->getOutputDevices()) {
        if (fresh.uid == device->uid) {
            bus->outputDevice = fresh;
            // Recovered once it plays: a start that fails, now or later, is logged as such and
            // the recovery that follows the server's return says it recovered. A bus that
            // plays at once says so after its setup lines.
            const std::string recovered =
                "✅ Bus " + std::to_string(bus->id) + " recovered → " + fresh.name;
            if (!isRunning.get()) {
                setupOutputBus(bus, fresh);  // plays when the engine starts
                buses_->observe(bus);
                Log::line(recovered);
                return;
            }
            auto settingUp = std::make_shared<int>(0);  // 0 setting up, 1 played meanwhile
            setupOutputBus(bus, fresh, [settingUp, recovered] {
                if (*settingUp == 0) {
                    *settingUp = 1;
                } else {
                    Log::line(recovered);
                }
            });
            buses_->observe(bus);
            if (*settingUp == 1) {
                Log::line(recovered);
            }
            *settingUp = 2;
            return;
        }
    }
    bus->outputDevice = std::nullopt;
    awaitDevice(*bus, *device);
    Log::line("⚠️ Bus " + std::to_string(bus->id) + " device lost: " + device->name);
}

// The server took the bus's stream but never ran it (no session manager yet): tried again
// after 1 s, then 2, 4, ... up to 30 s, until it plays or the bus is gone.
void MultiOutputEngine::retryBusStart(int busId) {
    Seconds& delay = busRetryDelays_[busId];
    delay = delay == 0 ? 1.0 : std::min<Seconds>(delay * 2, 30.0);
    Log::line("🔁 Bus " + std::to_string(busId) + " tries again in " +
              std::to_string(static_cast<int>(delay)) + " s");
    busRetries_[busId] = tasks_.postAfter(delay, [this, busId] {
        busRetries_.erase(busId);
        const auto& list = outputBusses.get();
        auto it = std::find_if(list.begin(), list.end(),
                               [busId](const auto& b) { return b->id == busId; });
        if (it == list.end() || !isRunning.get() || !(*it)->outputDevice.get() ||
            buses_->isRunning(busId)) {
            busRetryDelays_.erase(busId);
            return;
        }
        const auto bus = *it;
        startBusGraph(*bus, [this, busId, name = bus->outputDevice.get()->name] {
            busRetryDelays_.erase(busId);
            Log::line("✅ Bus " + std::to_string(busId) + " plays → " + name);
        });
    });
}

void MultiOutputEngine::awaitDevice(const OutputBus& bus, AudioOutputDevice device) {
    awaitedDevices_[bus.id] = std::move(device);
}

void MultiOutputEngine::rebindReturnedDevices() {
    for (const auto& bus : outputBusses.get()) {
        auto it = awaitedDevices_.find(bus->id);
        if (it == awaitedDevices_.end() || bus->outputDevice.get()) {
            continue;
        }
        const auto& devices = availableOutputDevices.get();
        auto fresh = std::find_if(devices.begin(), devices.end(),
                                  [&](const auto& d) { return d.uid == it->second.uid; });
        if (fresh != devices.end()) {
            const AudioOutputDevice device = *fresh;
            Log::line("🔄 Bus " + std::to_string(bus->id) + " device returned: " + device.name);
            assignDevice(device, bus);
        }
    }
}

}  // namespace qv
