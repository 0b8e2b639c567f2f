#include "Audio/Platform/Pulse/PulseEvents.h"

#include <utility>
#include <vector>

#include "Foundation/RealtimeScope.h"
#include "Foundation/RealtimeThread.h"

namespace qv {
namespace {

constexpr std::uint32_t bit(PulseEventKind kind) {
    return 1u << static_cast<unsigned>(kind);
}

}  // namespace

void PulseEventPort::send(PulseEventKind kind, std::int32_t code) {
    RealtimeScope realtime;
    const std::uint32_t opening = opening_.load(std::memory_order_relaxed);
    if (opening == 0 || !pipe_) {
        return;
    }
    // Once an event waits, the later ones wait too, so none overtakes it.
    if (waiting_.load(std::memory_order_acquire) == 0 &&
        pipe_->events_.push({id_, opening, kind, code})) {
        queued_.fetch_add(1, std::memory_order_release);
        return;
    }
    const auto k = static_cast<std::size_t>(kind);
    waitingCodes_[k].store(code, std::memory_order_relaxed);
    waitingOrder_[k].store(++kept_, std::memory_order_relaxed);
    waiting_.fetch_or(bit(kind), std::memory_order_release);
    pipe_->hasWaiting_.store(true, std::memory_order_release);
}

PulseEventPipe::~PulseEventPipe() {
    timer_.cancel();
}

std::uint32_t PulseEventPipe::open(PulseEventPort& port,
                                   std::weak_ptr<PulseEventReceiver> receiver) {
    if (port.id_ == 0) {
        port.id_ = nextID_++;
    }
    port.pipe_ = this;
    if (++port.lastOpening_ == 0) {
        ++port.lastOpening_;
    }
    port.waiting_.store(0, std::memory_order_relaxed);
    port.kept_ = 0;
    port.queued_.store(0, std::memory_order_relaxed);
    port.delivered_ = 0;
    port.opening_.store(port.lastOpening_, std::memory_order_release);
    entries_[port.id_] = {&port, std::move(receiver)};
    if (!isTicking_) {
        isTicking_ = true;
        timer_ = queue_.scheduleRepeating(kInterval, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->tick();
            }
        });
    }
    return port.lastOpening_;
}

void PulseEventPipe::tick() {
    drain();
    if (entries_.empty()) {
        timer_.cancel();
        isTicking_ = false;
    }
}

void PulseEventPipe::drain() {
    // Receivers may open, close, make and drop streams: no iterator is held across a call.
    while (const auto event = events_.pop()) {
        const auto entry = entries_.find(event->port);
        if (entry == entries_.end()) {
            continue;
        }
        const auto receiver = entry->second.receiver.lock();
        if (!receiver) {
            continue;
        }
        PulseEventPort& port = *entry->second.port;
        if (event->opening != port.opening()) {
            continue;
        }
        ++port.delivered_;
        receiver->received(*event);
    }
    if (hasWaiting_.exchange(false, std::memory_order_acq_rel)) {
        std::vector<std::uint32_t> ids;
        ids.reserve(entries_.size());
        for (const auto& [id, entry] : entries_) {
            ids.push_back(id);
        }
        for (const std::uint32_t id : ids) {
            deliverWaiting(id);
        }
    }
    for (auto it = entries_.begin(); it != entries_.end();) {
        const auto receiver = it->second.receiver.lock();
        if (!receiver || it->second.port->opening() == 0) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    logRealtimeOutcome();
}

void PulseEventPipe::deliverWaiting(std::uint32_t id) {
    const auto entry = entries_.find(id);
    if (entry == entries_.end()) {
        return;
    }
    const auto receiver = entry->second.receiver.lock();
    if (!receiver) {
        return;
    }
    PulseEventPort& port = *entry->second.port;
    const std::uint32_t opening = port.opening();
    if (opening == 0 || port.waiting_.load(std::memory_order_acquire) == 0) {
        return;
    }
    // While events wait, the port queues none; those it queued before must come out first.
    if (port.queued_.load(std::memory_order_acquire) != port.delivered_) {
        hasWaiting_.store(true, std::memory_order_release);
        return;
    }
    const std::uint32_t kinds = port.waiting_.exchange(0, std::memory_order_acq_rel);
    struct Kept {
        std::uint32_t order = 0;
        PulseEventKind kind = PulseEventKind::opened;
        std::int32_t code = 0;
    };
    std::array<Kept, kPulseEventKinds> kept;
    std::size_t count = 0;
    for (std::size_t k = 0; k < kPulseEventKinds; ++k) {
        const auto kind = static_cast<PulseEventKind>(k);
        if ((kinds & bit(kind)) != 0) {
            kept[count++] = {port.waitingOrder_[k].load(std::memory_order_relaxed), kind,
                             port.waitingCodes_[k].load(std::memory_order_relaxed)};
        }
    }
    // In the order they were sent (a handful at most).
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && kept[j].order < kept[j - 1].order; --j) {
            std::swap(kept[j], kept[j - 1]);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (port.opening() != opening) {
            return;  // the receiver closed the port
        }
        receiver->received({id, opening, kept[i].kind, kept[i].code});
    }
}

}  // namespace qv
