// The simulated BlueZ: adapters, the devices they discover, the GATT objects of
// a connected amplifier, and the control interface org.tavoble.Simulator1.
// Everything runs on one sd-event loop thread.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Dbus.h"
#include "Encoder.h"
#include "Loop.h"
#include "Scenario.h"

namespace tavosim {

// The data notifications an amplifier sent, with their CLOCK_MONOTONIC send
// times, kept in a bounded ring so tests can compare what they received.
class SentRing {
  public:
    explicit SentRing(size_t capacity) : capacity_(capacity) {}
    void push(uint64_t timeNs, const Bytes& bytes);
    uint64_t total() const { return total_; }
    uint64_t oldest() const { return total_ > entries_.size() ? total_ - entries_.size() : 0; }
    // Entry by life index; the index must lie in [oldest(), total()).
    const std::pair<uint64_t, Bytes>& at(uint64_t index) const;

  private:
    size_t capacity_;
    uint64_t total_ = 0;
    std::vector<std::pair<uint64_t, Bytes>> entries_;
};

class Simulator {
  public:
    Simulator(sd_event* loop, sd_bus* bus, Scenario scenario);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

  private:
    struct Amplifier;
    struct Adapter;
    struct Device;
    struct Link;
    struct Characteristic;
    struct Control;  // the handlers of org.tavoble.Simulator1

    // --- set-up
    void exportRoot();
    void addAdapter(const AdapterSpec& plan);
    void removeAdapter(const std::string& id);
    // bluetoothd going away and starting again after downUs: name and objects.
    void restartService(uint64_t downUs);
    Amplifier& addAmplifier(const AmplifierSpec& plan);
    void removeAmplifier(Amplifier& amp);

    // --- discovery
    void startScanning(Adapter& a);
    void stopScanning(Adapter& a);
    void scheduleSighting(Adapter& a, Amplifier& amp, double delayMs);
    void sighting(Adapter& a, Amplifier& amp);
    Device& exportDevice(Adapter& a, Amplifier& amp, int16_t rssi);
    void removeDevice(Adapter& a, const std::string& address);
    void armRemoval(Device& d);

    // --- connection
    void connect(Device& d, const CallPtr& call);
    void attemptConnect(Device& d, uint64_t deadlineUs);
    void establish(Device& d, bool resolve);
    void exportGatt(Device& d);
    void resolveServices(Device& d);
    void addBattery1(Device& d);
    // Ends a link: the peer dropped it (call empty) or a client asked (call set).
    void tearDown(Device& d, const CallPtr& call);
    void setPowered(Adapter& a, bool powered);

    // --- GATT
    void onCharacteristic(const std::string& path, const CallPtr& call);
    void onDescriptor(const std::string& path, const CallPtr& call);
    void readValue(Characteristic& c, const CallPtr& call, uint16_t offset);
    Bytes valueOf(const Characteristic& c) const;
    void acquireNotify(Characteristic& c, const CallPtr& call);
    // The client closed AcquireNotify's socket or left the bus.
    void releaseAcquired(Characteristic& c);
    // One notification, to the acquired socket if there is one, else as a Value change.
    void notifyValue(Characteristic& c, const uint8_t* data, size_t size);
    void startNotifying(Characteristic& c);
    void stopNotifying(Characteristic& c);
    void skipUnsubscribedTime(Amplifier& amp);
    void sendRecord(Characteristic& c);
    void scheduleData(Link& l);
    void sendData(Link& l);
    void emitData(Link& l);
    void scheduleDrain(Amplifier& amp);
    void batteryChanged(Amplifier& amp);

    // --- D-Bus entry points
    void onAdapter(const std::string& id, const CallPtr& call);
    void onAdapterSet(const std::string& id, const CallPtr& call, const std::string& prop);
    void onDevice(const std::string& path, const CallPtr& call);
    void onControl(const CallPtr& call);
    void onRoot(const CallPtr& call);
    void clientGone(const std::string& name);

    Amplifier* findAmplifier(const std::string& name);
    Adapter* findAdapter(const std::string& id);
    Device* deviceByPath(const std::string& path);
    uint64_t ms(double milliseconds) const;
    double uniform(double lo, double hi);

    sd_event* loop_;
    sd_bus* bus_;
    Scenario scenario_;
    ObjectTree tree_;
    std::mt19937 rng_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::unique_ptr<Amplifier>> amplifiers_;
    std::map<std::string, Characteristic*> chars_;  // by object path
    std::map<std::string, Characteristic*> descs_;  // CCC descriptor path -> its characteristic
    std::map<std::string, std::set<std::string>> agents_;  // client -> agent paths
    Timer restartTimer_;
};

}  // namespace tavosim
