// The control interface org.tavoble.Simulator1: tests steer the simulated
// world through it (adapters on and off, amplifiers added, removed, silenced,
// dropped) and read what the amplifiers sent. Each method is a row of a table
// of name, signature and handler; anything else is an unknown method.
#include "Model.h"

namespace tavosim {

namespace {

void controlError(const CallPtr& c, const std::string& name, const std::string& text) {
    c->replyError("org.tavoble.Error." + name, text);
}

}  // namespace

struct Simulator::Control {
    using Handler = void (*)(Simulator&, const CallPtr&);
    struct Method {
        const char* name;
        const char* signature;
        Handler handler;
    };

    // The amplifier a call names, or null after replying NotFound.
    static Amplifier* amplifierArg(Simulator& s, const CallPtr& call, const char* name) {
        Amplifier* amp = s.findAmplifier(name);
        if (amp == nullptr) {
            controlError(call, "NotFound", std::string("No amplifier named '") + name + "'");
        }
        return amp;
    }

    static void setPowered(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        int powered = 0;
        sd_bus_message_read(call->msg(), "sb", &name, &powered);
        Adapter* a = s.findAdapter(name);
        if (a == nullptr) {
            controlError(call, "NotFound", std::string("No adapter named '") + name + "'");
            return;
        }
        s.setPowered(*a, powered != 0);
        call->replyEmpty();
    }

    static void addAmplifier(Simulator& s, const CallPtr& call) {
        const char* json = nullptr;
        sd_bus_message_read(call->msg(), "s", &json);
        AmplifierSpec plan;
        try {
            plan = parseAmplifier(json);
        } catch (const std::exception& e) {
            controlError(call, "InvalidArguments", e.what());
            return;
        }
        if (!plan.name) {
            controlError(call, "InvalidArguments", "an amplifier added at run time needs a name");
            return;
        }
        for (const auto& other : s.amplifiers_) {
            if (other->plan.address == plan.address) {
                controlError(
                    call, "AlreadyExists",
                    "An amplifier at " + plan.address + " ('" + other->name() + "') exists");
                return;
            }
        }
        Amplifier& amp = s.addAmplifier(plan);
        const std::string path = s.adapters_.empty()
                                     ? std::string("/")
                                     : devicePath(s.adapters_.front()->path, amp.plan.address);
        sd_bus_message* reply = call->newReply();
        sd_bus_message_append_basic(reply, 'o', path.c_str());
        call->send(reply);
    }

    static void removeAmplifier(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        sd_bus_message_read(call->msg(), "s", &name);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            s.removeAmplifier(*amp);
            call->replyEmpty();
        }
    }

    static void setAdvertising(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        int on = 0;
        sd_bus_message_read(call->msg(), "sb", &name, &on);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            amp->advertisingEnabled = on != 0;
            if (on != 0) {
                amp->advertisingStopped = false;
                amp->advertisingTimer.cancel();
            }
            call->replyEmpty();
        }
    }

    static void disconnectPeer(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        sd_bus_message_read(call->msg(), "s", &name);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            if (amp->link == nullptr) {
                controlError(call, "NotConnected", std::string("'") + name + "' is not connected");
                return;
            }
            s.tearDown(*amp->link, nullptr);
            call->replyEmpty();
        }
    }

    // Out of range for a while: no advertising, no answer to connects, the
    // link lost; back by itself when the time is up. 0 s: back at once.
    static void setUnreachable(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        double seconds = 0;
        sd_bus_message_read(call->msg(), "sd", &name, &seconds);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            if (!(seconds >= 0) || !std::isfinite(seconds)) {
                controlError(call, "InvalidArguments", "the time must be 0 or positive");
                return;
            }
            amp->reachableTimer.cancel();
            amp->unreachable = seconds > 0;
            if (amp->unreachable) {
                if (amp->link != nullptr) {
                    s.tearDown(*amp->link, nullptr);
                }
                amp->reachableTimer.start(s.ms(seconds * 1000.0),
                                          [amp]() { amp->unreachable = false; });
            }
            call->replyEmpty();
        }
    }

    // How long after discovery starts the adapter reports Discovering.
    static void setDiscoveringDelay(Simulator& s, const CallPtr& call) {
        double delayMs = 0;
        sd_bus_message_read(call->msg(), "d", &delayMs);
        if (!(delayMs >= 0) || !std::isfinite(delayMs)) {
            controlError(call, "InvalidArguments", "the delay must be 0 or positive");
            return;
        }
        s.scenario_.timing.discoveringDelayMs = delayMs;
        call->replyEmpty();
    }

    // Unplugs an adapter: links end, its devices and the adapter object go.
    static void removeAdapter(Simulator& s, const CallPtr& call) {
        const char* id = nullptr;
        sd_bus_message_read(call->msg(), "s", &id);
        if (s.findAdapter(id) == nullptr) {
            controlError(call, "NotFound", std::string("No adapter named '") + id + "'");
            return;
        }
        s.removeAdapter(id);
        call->replyEmpty();
    }

    // Plugs in a powered adapter; answers its object path.
    static void addAdapter(Simulator& s, const CallPtr& call) {
        const char* id = nullptr;
        const char* address = nullptr;
        sd_bus_message_read(call->msg(), "ss", &id, &address);
        const std::string name = id;
        const bool valid = name.size() > 3 && name.compare(0, 3, "hci") == 0 &&
                           name.find_first_not_of("0123456789", 3) == std::string::npos;
        if (!valid) {
            controlError(call, "InvalidArguments", "an adapter is named hciN");
            return;
        }
        if (s.findAdapter(name) != nullptr) {
            controlError(call, "AlreadyExists", "An adapter named '" + name + "' exists");
            return;
        }
        AdapterSpec plan;
        plan.id = name;
        plan.address = address;
        s.addAdapter(plan);
        const std::string path = "/org/bluez/" + name;
        sd_bus_message* reply = call->newReply();
        sd_bus_message_append_basic(reply, 'o', path.c_str());
        call->send(reply);
    }

    // bluetoothd restarts: org.bluez leaves the bus with every object and
    // comes back after the given seconds with the adapters it had.
    static void restartBluetooth(Simulator& s, const CallPtr& call) {
        double seconds = 0;
        sd_bus_message_read(call->msg(), "d", &seconds);
        if (!(seconds >= 0) || !std::isfinite(seconds) || seconds > 3600) {
            controlError(call, "InvalidArguments", "the time must be 0 to 3600 s");
            return;
        }
        call->replyEmpty();
        s.restartService(s.ms(seconds * 1000.0));
    }

    static void setBatteryLevel(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        uint8_t level = 0;
        sd_bus_message_read(call->msg(), "sy", &name, &level);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            amp->battery = level;
            s.batteryChanged(*amp);
            call->replyEmpty();
        }
    }

    static void setRate(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        double rate = 0;
        sd_bus_message_read(call->msg(), "sd", &name, &rate);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            if (!(rate >= 0) || !std::isfinite(rate)) {
                controlError(call, "InvalidArguments", "the rate multiplier must be 0 or positive");
                return;
            }
            amp->rate = rate;
            if (amp->link != nullptr && amp->link->link) {
                Link& l = *amp->link->link;
                l.nextDueUs = static_cast<double>(nowUs());
                s.scheduleData(l);
            }
            call->replyEmpty();
        }
    }

    static void getCounters(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        sd_bus_message_read(call->msg(), "s", &name);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            sd_bus_message* reply = call->newReply();
            sd_bus_message_open_container(reply, 'a', "{st}");
            std::map<std::string, uint64_t> all = {
                {"data", 0},    {"battery", 0},  {"channel", 0},     {"payload", 0},
                {"filter", 0},  {"connects", 0}, {"disconnects", 0}, {"reads", 0},
                {"dropped", 0}, {"truncated", 0}};
            for (const auto& [k, v] : amp->counters) {
                all[k] = v;
            }
            all["sentTotal"] = amp->sent.total();
            for (const auto& [k, v] : all) {
                sd_bus_message_append(reply, "{st}", k.c_str(), v);
            }
            sd_bus_message_close_container(reply);
            call->send(reply);
        }
    }

    static void resetCounters(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        sd_bus_message_read(call->msg(), "s", &name);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            amp->counters.clear();
            call->replyEmpty();
        }
    }

    static void isConnected(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        sd_bus_message_read(call->msg(), "s", &name);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            sd_bus_message* reply = call->newReply();
            const int connected = amp->link != nullptr ? 1 : 0;
            sd_bus_message_append_basic(reply, 'b', &connected);
            call->send(reply);
        }
    }

    static void getSentData(Simulator& s, const CallPtr& call) {
        const char* name = nullptr;
        uint64_t first = 0;
        uint32_t maxCount = 0;
        sd_bus_message_read(call->msg(), "stu", &name, &first, &maxCount);
        if (Amplifier* amp = amplifierArg(s, call, name)) {
            const SentRing& ring = amp->sent;
            if (first < ring.oldest()) {
                controlError(call, "OutOfRange",
                             "notification " + std::to_string(first) +
                                 " is no longer kept; the oldest is " +
                                 std::to_string(ring.oldest()));
                return;
            }
            sd_bus_message* reply = call->newReply();
            sd_bus_message_open_container(reply, 'a', "(tay)");
            for (uint64_t i = first; i < ring.total() && i - first < maxCount; ++i) {
                const auto& [t, bytes] = ring.at(i);
                sd_bus_message_open_container(reply, 'r', "tay");
                sd_bus_message_append_basic(reply, 't', &t);
                sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size());
                sd_bus_message_close_container(reply);
            }
            sd_bus_message_close_container(reply);
            call->send(reply);
        }
    }

    static void listAmplifiers(Simulator& s, const CallPtr& call) {
        std::vector<std::string> names;
        for (const auto& a : s.amplifiers_) {
            names.push_back(a->name());
        }
        sd_bus_message* reply = call->newReply();
        appendValue(reply, names);
        call->send(reply);
    }

    static constexpr Method kMethods[] = {
        {"SetPowered", "sb", setPowered},
        {"AddAmplifier", "s", addAmplifier},
        {"RemoveAmplifier", "s", removeAmplifier},
        {"SetAdvertising", "sb", setAdvertising},
        {"DisconnectPeer", "s", disconnectPeer},
        {"SetUnreachable", "sd", setUnreachable},
        {"SetDiscoveringDelay", "d", setDiscoveringDelay},
        {"RemoveAdapter", "s", removeAdapter},
        {"AddAdapter", "ss", addAdapter},
        {"RestartBluetooth", "d", restartBluetooth},
        {"SetBatteryLevel", "sy", setBatteryLevel},
        {"SetRate", "sd", setRate},
        {"GetCounters", "s", getCounters},
        {"ResetCounters", "s", resetCounters},
        {"IsConnected", "s", isConnected},
        {"GetSentData", "stu", getSentData},
        {"ListAmplifiers", "", listAmplifiers},
    };
};

void Simulator::onControl(const CallPtr& call) {
    const std::string member = call->member();
    for (const Control::Method& m : Control::kMethods) {
        if (member == m.name && call->hasSignature(m.signature)) {
            m.handler(*this, call);
            return;
        }
    }
    err::unknownMethod(call);
}

}  // namespace tavosim
