// Streaming: notify sessions, record and data notifications at the
// amplifier's rate, and battery level changes.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Model.h"

namespace tavosim {

void Simulator::acquireNotify(Characteristic& c, const CallPtr& call) {
    if (!c.canAcquire) {
        err::notSupported(call);
        return;
    }
    if (sd_bus_message_skip(call->msg(), "a{sv}") < 0) {  // "mtu", "link", "device": unused
        err::invalidArgs(call);
        return;
    }
    if (c.acquired.isOpen() && c.acquired.clientHolds()) {
        err::notPermitted(call, "Notify acquired");
        return;
    }
    if (c.acquired.isOpen()) {
        releaseAcquired(c);
    }
    if (!c.clients.empty()) {
        err::notPermitted(call, "Notify already started");
        return;
    }
    Characteristic* cp = &c;
    const int fd = c.acquired.open(loop_, [this, cp]() { releaseAcquired(*cp); });
    if (fd < 0) {
        err::failed(call, std::string("Failed to create socket: ") + std::strerror(errno));
        return;
    }
    c.acquiredBy = call->sender();
    ++c.link->amp->counters["acquired"];
    // Answer first (sd-bus passes a duplicate of the descriptor), then NotifyAcquired, then
    // values, in the order StartNotify keeps.
    sd_bus_message* reply = call->newReply();
    sd_bus_message_append(reply, "hq", fd, c.link->mtu);
    call->send(reply);
    ::close(fd);
    tree_.set(c.path, iface::kChar, "NotifyAcquired", true);
    startNotifying(c);
}

void Simulator::releaseAcquired(Characteristic& c) {
    c.acquired.close();
    c.acquiredBy.clear();
    if (!c.notifying) {
        stopNotifying(c);
    }
    tree_.set(c.path, iface::kChar, "NotifyAcquired", false);
}

void Simulator::notifyValue(Characteristic& c, const uint8_t* data, size_t size) {
    if (!c.acquired.isOpen()) {
        tree_.notifyBytes(c.path, iface::kChar, "Value", data, size);
        return;
    }
    // Value is not updated while the notifications go to the socket.
    if (c.acquired.send(data, size) == NotifySocket::Sent::Full) {
        ++c.link->amp->counters["socketFull"];
    }
}

void Simulator::startNotifying(Characteristic& c) {
    Amplifier& amp = *c.link->amp;
    Characteristic* cp = &c;
    const RecordFaults* faults = nullptr;
    switch (c.role) {
        case Characteristic::Role::ChannelRecords:
            c.records = amp.encoder->channelRecords();
            faults = &amp.plan.channelFaults;
            break;
        case Characteristic::Role::PayloadRecords:
            c.records = amp.encoder->payloadRecords();
            faults = &amp.plan.payloadFaults;
            break;
        case Characteristic::Role::FilterRecords:
            c.records = amp.encoder->filterRecords();
            faults = &amp.plan.filterFaults;
            break;
        case Characteristic::Role::Data: {
            Link& l = *c.link;
            if (amp.plan.counterRestartOnSubscribe) {
                amp.encoder->restartCounter();
            } else if (amp.plan.counterFreeRunning) {
                skipUnsubscribedTime(amp);
            }
            l.nextDueUs = static_cast<double>(nowUs());
            if (amp.rate > 0) {
                l.nextDueUs +=
                    1e6 * amp.plan.scansPerNotification / (amp.plan.samplingRate * amp.rate);
            }
            scheduleData(l);
            return;
        }
        default:
            return;
    }
    c.next = 0;
    c.intervalMs = faults->intervalMs.value_or(scenario_.timing.recordIntervalMs);
    c.timer.start(ms(faults->delayMs), [this, cp]() { sendRecord(*cp); });
}

// The notifications the amplifier would have sent since its last one (or
// since it was switched on) at its nominal pace.
void Simulator::skipUnsubscribedTime(Amplifier& amp) {
    const uint64_t now = nowUs();
    if (amp.rate > 0 && now > amp.lastDataUs) {
        const double periodUs =
            1e6 * amp.plan.scansPerNotification / (amp.plan.samplingRate * amp.rate);
        const auto missed =
            static_cast<uint64_t>(static_cast<double>(now - amp.lastDataUs) / periodUs);
        amp.encoder->skip(missed);
    }
    amp.lastDataUs = now;
}

void Simulator::stopNotifying(Characteristic& c) {
    c.notifying = false;
    c.timer.cancel();
    if (c.role == Characteristic::Role::Data) {
        c.link->dataTimer.cancel();
    }
}

void Simulator::sendRecord(Characteristic& c) {
    Amplifier& amp = *c.link->amp;
    Characteristic* cp = &c;
    // Without a pause every record goes out in this one turn of the loop.
    do {
        if (c.next >= c.records.size()) {
            return;
        }
        // Back to back is still at the link's pace, which a reading client keeps up with: a
        // burst waits for room in its socket, as the unpaced data stream does, instead of
        // losing records no real link could have pushed out in one instant.
        if (c.acquired.isOpen() && !c.acquired.writable()) {
            c.timer.start(100, [this, cp]() { sendRecord(*cp); });
            return;
        }
        const Bytes& r = c.records[c.next++];
        notifyValue(c, r.data(), r.size());
        ++amp.counters[c.counter];
    } while (c.intervalMs <= 0);
    if (c.next < c.records.size()) {
        c.timer.start(ms(c.intervalMs), [this, cp]() { sendRecord(*cp); });
    }
}

void Simulator::scheduleData(Link& l) {
    if (l.data == nullptr || !l.data->sending()) {
        return;
    }
    Link* lp = &l;
    if (l.amp->rate <= 0) {
        l.dataTimer.start(0, [this, lp]() { sendData(*lp); });
        return;
    }
    l.dataTimer.startAt(static_cast<uint64_t>(l.nextDueUs), [this, lp]() { sendData(*lp); });
}

void Simulator::emitData(Link& l) {
    Amplifier& amp = *l.amp;
    amp.encoder->nextPayload(l.buffer);
    amp.lastDataUs = nowUs();
    ++amp.generated;
    if (amp.plan.dropEvery != 0 && amp.generated % amp.plan.dropEvery == 0) {
        ++amp.counters["dropped"];
        return;
    }
    if (amp.plan.truncateEvery != 0 && amp.generated % amp.plan.truncateEvery == 0) {
        const size_t shortBy1 = l.buffer.empty() ? 0 : l.buffer.size() - 1;
        l.buffer.resize(std::min<size_t>(
            amp.plan.truncateTo.value_or(static_cast<uint32_t>(shortBy1)), l.buffer.size()));
        ++amp.counters["truncated"];
    }
    const uint64_t t = nowNs();
    notifyValue(*l.data, l.buffer.data(), l.buffer.size());
    amp.sent.push(t, l.buffer);
    ++amp.counters["data"];
}

void Simulator::sendData(Link& l) {
    Amplifier& amp = *l.amp;
    Link* lp = &l;
    if (amp.rate <= 0) {
        // As fast as the bus takes them: a batch per loop turn, backing off while our queue is
        // full.
        uint64_t queued = 0;
        for (int i = 0; i < 32; ++i) {
            sd_bus_get_n_queued_write(bus_, &queued);
            if (l.data->acquired.isOpen()) {
                queued = l.data->acquired.writable() ? 0 : kFastQueueLimit;
            }
            if (queued >= kFastQueueLimit) {
                break;
            }
            emitData(l);
        }
        l.dataTimer.start(queued >= kFastQueueLimit ? 100 : 0, [this, lp]() { sendData(*lp); });
        return;
    }
    const double period = 1e6 * amp.plan.scansPerNotification / (amp.plan.samplingRate * amp.rate);
    const auto now = static_cast<double>(nowUs());
    // Catch up after a late wake-up, the way a real amplifier's buffer would drain.
    for (int sent = 0; l.nextDueUs <= now && sent < 256; ++sent) {
        emitData(l);
        l.nextDueUs += period;
    }
    if (now - l.nextDueUs > 250000.0) {
        l.nextDueUs = now + period;  // far behind (a stalled machine): resume from now
    }
    scheduleData(l);
}

void Simulator::scheduleDrain(Amplifier& amp) {
    Amplifier* ap = &amp;
    amp.drainTimer.start(ms(amp.plan.battery.drainIntervalMs), [this, ap]() {
        if (ap->battery > 0) {
            --ap->battery;
            batteryChanged(*ap);
        }
        scheduleDrain(*ap);
    });
}

void Simulator::batteryChanged(Amplifier& amp) {
    Device* d = amp.link;
    if (d == nullptr || !d->link) {
        return;
    }
    if (d->link->battery1) {
        tree_.set(d->path, iface::kBattery, "Percentage", amp.battery);
        ++amp.counters["battery"];
    } else if (d->link->battery != nullptr && d->link->battery->sending()) {
        const Bytes v{amp.battery};
        notifyValue(*d->link->battery, v.data(), v.size());
        ++amp.counters["battery"];
    }
}

}  // namespace tavosim
