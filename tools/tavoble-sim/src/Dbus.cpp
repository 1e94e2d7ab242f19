#include "Dbus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tavosim {

namespace {

constexpr const char* kProps = "org.freedesktop.DBus.Properties";
constexpr const char* kIntrospectable = "org.freedesktop.DBus.Introspectable";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

struct SigVisitor {
    std::string operator()(bool) const { return "b"; }
    std::string operator()(uint8_t) const { return "y"; }
    std::string operator()(int16_t) const { return "n"; }
    std::string operator()(uint16_t) const { return "q"; }
    std::string operator()(uint32_t) const { return "u"; }
    std::string operator()(const std::string&) const { return "s"; }
    std::string operator()(const ObjectPath&) const { return "o"; }
    std::string operator()(const Bytes&) const { return "ay"; }
    std::string operator()(const std::vector<std::string>&) const { return "as"; }
    std::string operator()(const std::vector<ObjectPath>&) const { return "ao"; }
    std::string operator()(const ManufacturerData&) const { return "a{qv}"; }
};

struct AppendVisitor {
    sd_bus_message* m;
    int operator()(bool v) const {
        const int b = v ? 1 : 0;
        return sd_bus_message_append_basic(m, 'b', &b);
    }
    int operator()(uint8_t v) const { return sd_bus_message_append_basic(m, 'y', &v); }
    int operator()(int16_t v) const { return sd_bus_message_append_basic(m, 'n', &v); }
    int operator()(uint16_t v) const { return sd_bus_message_append_basic(m, 'q', &v); }
    int operator()(uint32_t v) const { return sd_bus_message_append_basic(m, 'u', &v); }
    int operator()(const std::string& v) const {
        return sd_bus_message_append_basic(m, 's', v.c_str());
    }
    int operator()(const ObjectPath& v) const {
        return sd_bus_message_append_basic(m, 'o', v.path.c_str());
    }
    int operator()(const Bytes& v) const {
        return sd_bus_message_append_array(m, 'y', v.data(), v.size());
    }
    int operator()(const std::vector<std::string>& v) const {
        int r = sd_bus_message_open_container(m, 'a', "s");
        for (const auto& s : v) {
            if (r >= 0) {
                r = sd_bus_message_append_basic(m, 's', s.c_str());
            }
        }
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    int operator()(const std::vector<ObjectPath>& v) const {
        int r = sd_bus_message_open_container(m, 'a', "o");
        for (const auto& s : v) {
            if (r >= 0) {
                r = sd_bus_message_append_basic(m, 'o', s.path.c_str());
            }
        }
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    int operator()(const ManufacturerData& v) const {
        int r = sd_bus_message_open_container(m, 'a', "{qv}");
        for (const auto& [id, bytes] : v) {
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'e', "qv");
            }
            if (r >= 0) {
                r = sd_bus_message_append_basic(m, 'q', &id);
            }
            if (r >= 0) {
                r = sd_bus_message_open_container(m, 'v', "ay");
            }
            if (r >= 0) {
                r = sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
            if (r >= 0) {
                r = sd_bus_message_close_container(m);
            }
        }
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
};

// Introspection data of every interface the simulator serves.
const std::map<std::string, std::string>& introspectionXml() {
    static const std::
        map<std::string, std::string>
            xml =
                {
                    {kIntrospectable,
                     R"xml(<interface name="org.freedesktop.DBus.Introspectable"><method name="Introspect"><arg name="xml" type="s" direction="out"/></method></interface>)xml"},
                    {kProps,
                     R"xml(<interface name="org.freedesktop.DBus.Properties"><method name="Get"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method><method name="Set"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="in"/></method><method name="GetAll"><arg name="interface" type="s" direction="in"/><arg name="properties" type="a{sv}" direction="out"/></method><signal name="PropertiesChanged"><arg name="interface" type="s"/><arg name="changed_properties" type="a{sv}"/><arg name="invalidated_properties" type="as"/></signal></interface>)xml"},
                    {kObjectManager,
                     R"xml(<interface name="org.freedesktop.DBus.ObjectManager"><method name="GetManagedObjects"><arg name="objects" type="a{oa{sa{sv}}}" direction="out"/></method><signal name="InterfacesAdded"><arg name="object" type="o"/><arg name="interfaces" type="a{sa{sv}}"/></signal><signal name="InterfacesRemoved"><arg name="object" type="o"/><arg name="interfaces" type="as"/></signal></interface>)xml"},
                    {iface::kAgentManager,
                     R"xml(<interface name="org.bluez.AgentManager1"><method name="RegisterAgent"><arg name="agent" type="o" direction="in"/><arg name="capability" type="s" direction="in"/></method><method name="UnregisterAgent"><arg name="agent" type="o" direction="in"/></method><method name="RequestDefaultAgent"><arg name="agent" type="o" direction="in"/></method></interface>)xml"},
                    {iface::kProfileManager,
                     R"xml(<interface name="org.bluez.ProfileManager1"><method name="RegisterProfile"><arg name="profile" type="o" direction="in"/><arg name="UUID" type="s" direction="in"/><arg name="options" type="a{sv}" direction="in"/></method><method name="UnregisterProfile"><arg name="profile" type="o" direction="in"/></method></interface>)xml"},
                    {iface::kAdapter,
                     R"xml(<interface name="org.bluez.Adapter1"><method name="StartDiscovery"/><method name="SetDiscoveryFilter"><arg name="properties" type="a{sv}" direction="in"/></method><method name="StopDiscovery"/><method name="RemoveDevice"><arg name="device" type="o" direction="in"/></method><method name="GetDiscoveryFilters"><arg name="filters" type="as" direction="out"/></method><property name="Address" type="s" access="read"/><property name="AddressType" type="s" access="read"/><property name="Name" type="s" access="read"/><property name="Alias" type="s" access="readwrite"/><property name="Class" type="u" access="read"/><property name="Powered" type="b" access="readwrite"/><property name="Discoverable" type="b" access="readwrite"/><property name="DiscoverableTimeout" type="u" access="readwrite"/><property name="Pairable" type="b" access="readwrite"/><property name="PairableTimeout" type="u" access="readwrite"/><property name="Discovering" type="b" access="read"/><property name="UUIDs" type="as" access="read"/><property name="Modalias" type="s" access="read"/><property name="Roles" type="as" access="read"/></interface>)xml"},
                    {iface::kDevice,
                     R"xml(<interface name="org.bluez.Device1"><method name="Disconnect"/><method name="Connect"/><method name="ConnectProfile"><arg name="UUID" type="s" direction="in"/></method><method name="DisconnectProfile"><arg name="UUID" type="s" direction="in"/></method><method name="Pair"/><method name="CancelPairing"/><property name="Address" type="s" access="read"/><property name="AddressType" type="s" access="read"/><property name="Name" type="s" access="read"/><property name="Alias" type="s" access="readwrite"/><property name="Appearance" type="q" access="read"/><property name="Paired" type="b" access="read"/><property name="Bonded" type="b" access="read"/><property name="Trusted" type="b" access="readwrite"/><property name="Blocked" type="b" access="readwrite"/><property name="LegacyPairing" type="b" access="read"/><property name="RSSI" type="n" access="read"/><property name="Connected" type="b" access="read"/><property name="UUIDs" type="as" access="read"/><property name="Adapter" type="o" access="read"/><property name="ManufacturerData" type="a{qv}" access="read"/><property name="ServicesResolved" type="b" access="read"/></interface>)xml"},
                    {iface::kBattery,
                     R"xml(<interface name="org.bluez.Battery1"><property name="Percentage" type="y" access="read"/><property name="Source" type="s" access="read"/></interface>)xml"},
                    {iface::kService,
                     R"xml(<interface name="org.bluez.GattService1"><property name="UUID" type="s" access="read"/><property name="Device" type="o" access="read"/><property name="Primary" type="b" access="read"/><property name="Includes" type="ao" access="read"/></interface>)xml"},
                    {iface::kChar,
                     R"xml(<interface name="org.bluez.GattCharacteristic1"><method name="ReadValue"><arg name="options" type="a{sv}" direction="in"/><arg name="value" type="ay" direction="out"/></method><method name="WriteValue"><arg name="value" type="ay" direction="in"/><arg name="options" type="a{sv}" direction="in"/></method><method name="StartNotify"/><method name="StopNotify"/><property name="UUID" type="s" access="read"/><property name="Service" type="o" access="read"/><property name="Value" type="ay" access="read"/><property name="Notifying" type="b" access="read"/><property name="Flags" type="as" access="read"/><property name="MTU" type="q" access="read"/></interface>)xml"},
                    {iface::kDesc,
                     R"xml(<interface name="org.bluez.GattDescriptor1"><method name="ReadValue"><arg name="options" type="a{sv}" direction="in"/><arg name="value" type="ay" direction="out"/></method><method name="WriteValue"><arg name="value" type="ay" direction="in"/><arg name="options" type="a{sv}" direction="in"/></method><property name="UUID" type="s" access="read"/><property name="Characteristic" type="o" access="read"/><property name="Value" type="ay" access="read"/></interface>)xml"},
                    {iface::kSimulator,
                     R"xml(<interface name="org.tavoble.Simulator1"><method name="SetPowered"><arg name="adapter" type="s" direction="in"/><arg name="powered" type="b" direction="in"/></method><method name="AddAmplifier"><arg name="amplifierJson" type="s" direction="in"/><arg name="devicePath" type="o" direction="out"/></method><method name="RemoveAmplifier"><arg name="name" type="s" direction="in"/></method><method name="SetAdvertising"><arg name="name" type="s" direction="in"/><arg name="advertising" type="b" direction="in"/></method><method name="DisconnectPeer"><arg name="name" type="s" direction="in"/></method><method name="SetBatteryLevel"><arg name="name" type="s" direction="in"/><arg name="percent" type="y" direction="in"/></method><method name="SetRate"><arg name="name" type="s" direction="in"/><arg name="multiplier" type="d" direction="in"/></method><method name="GetCounters"><arg name="name" type="s" direction="in"/><arg name="counters" type="a{st}" direction="out"/></method><method name="ResetCounters"><arg name="name" type="s" direction="in"/></method><method name="IsConnected"><arg name="name" type="s" direction="in"/><arg name="connected" type="b" direction="out"/></method><method name="GetSentData"><arg name="name" type="s" direction="in"/><arg name="first" type="t" direction="in"/><arg name="maxCount" type="u" direction="in"/><arg name="notifications" type="a(tay)" direction="out"/></method><method name="ListAmplifiers"><arg name="names" type="as" direction="out"/></method></interface>)xml"},
                };
    return xml;
}

}  // namespace

std::string signatureOf(const Value& v) {
    return std::visit(SigVisitor{}, v);
}

int appendValue(sd_bus_message* m, const Value& v) {
    return std::visit(AppendVisitor{m}, v);
}

int appendVariant(sd_bus_message* m, const Value& v) {
    const std::string sig = signatureOf(v);
    int r = sd_bus_message_open_container(m, 'v', sig.c_str());
    if (r >= 0) {
        r = appendValue(m, v);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// a{sv}: an interface's properties, in their order.
static void appendProperties(sd_bus_message* m,
                             const std::vector<std::pair<std::string, Value>>& props) {
    sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [name, value] : props) {
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append_basic(m, 's', name.c_str());
        appendVariant(m, value);
        sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
}

Value* Interface::find(const std::string& prop) {
    for (auto& p : props) {
        if (p.first == prop) {
            return &p.second;
        }
    }
    return nullptr;
}

const Value* Interface::find(const std::string& prop) const {
    return const_cast<Interface*>(this)->find(prop);
}

// ---- Call ----

Call::~Call() {
    sd_bus_message_unref(m_);
}

std::string Call::sender() const {
    const char* s = sd_bus_message_get_sender(m_);
    return s != nullptr ? s : "";
}

std::string Call::member() const {
    const char* s = sd_bus_message_get_member(m_);
    return s != nullptr ? s : "";
}

std::string Call::path() const {
    const char* s = sd_bus_message_get_path(m_);
    return s != nullptr ? s : "";
}

bool Call::hasSignature(const char* sig) const {
    return sd_bus_message_has_signature(m_, sig) > 0;
}

void Call::replyEmpty() {
    if (replied_) {
        return;
    }
    replied_ = true;
    sd_bus_reply_method_return(m_, nullptr);
}

void Call::replyError(const std::string& name, const std::string& text) {
    if (replied_) {
        return;
    }
    replied_ = true;
    // Not SD_BUS_ERROR_MAKE_CONST: a compound literal, which C++ does not have.
    sd_bus_error e{};
    e.name = name.c_str();
    e.message = text.c_str();
    sd_bus_reply_method_error(m_, &e);
}

sd_bus_message* Call::newReply() {
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(m_, &reply) < 0) {
        throw std::runtime_error("cannot create a method reply");
    }
    return reply;
}

void Call::send(sd_bus_message* reply) {
    if (!replied_) {
        replied_ = true;
        sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
}

namespace err {
void failed(const CallPtr& c, const std::string& text) {
    c->replyError("org.bluez.Error.Failed", text);
}
void inProgress(const CallPtr& c, const std::string& text) {
    c->replyError("org.bluez.Error.InProgress", text);
}
void notReady(const CallPtr& c) {
    c->replyError("org.bluez.Error.NotReady", "Resource Not Ready");
}
void notSupported(const CallPtr& c) {
    c->replyError("org.bluez.Error.NotSupported", "Operation is not supported");
}
void notConnected(const CallPtr& c) {
    c->replyError("org.bluez.Error.NotConnected", "Not Connected");
}
void doesNotExist(const CallPtr& c) {
    c->replyError("org.bluez.Error.DoesNotExist", "Does Not Exist");
}
void notPermitted(const CallPtr& c, const std::string& text) {
    c->replyError("org.bluez.Error.NotPermitted", text);
}
void invalidArgs(const CallPtr& c) {
    c->replyError("org.bluez.Error.InvalidArguments", "Invalid arguments in method call");
}
void unknownMethod(const CallPtr& c) {
    const char* sig = sd_bus_message_get_signature(c->msg(), 1);
    const char* ifc = sd_bus_message_get_interface(c->msg());
    c->replyError("org.freedesktop.DBus.Error.UnknownMethod",
                  "Method \"" + c->member() + "\" with signature \"" + (sig ? sig : "") +
                      "\" on interface \"" + (ifc ? ifc : "") + "\" doesn't exist");
}
}  // namespace err

// ---- ObjectTree ----

Interface* ObjectTree::Node::find(const std::string& name) {
    for (auto& i : ifaces) {
        if (i.name == name) {
            return &i;
        }
    }
    return nullptr;
}

ObjectTree::ObjectTree(sd_bus* bus) : bus_(bus) {
    int r = sd_bus_add_fallback(bus_, &fallbackSlot_, "/", &ObjectTree::onMessage, this);
    if (r < 0) {
        throw std::runtime_error("sd_bus_add_fallback failed: " + std::string(strerror(-r)));
    }
    r = sd_bus_match_signal(bus_, &nameSlot_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged",
                            &ObjectTree::onNameOwnerChanged, this);
    if (r < 0) {
        throw std::runtime_error("cannot watch NameOwnerChanged: " + std::string(strerror(-r)));
    }
}

ObjectTree::~ObjectTree() {
    sd_bus_slot_unref(nameSlot_);
    sd_bus_slot_unref(fallbackSlot_);
}

int ObjectTree::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
    auto* self = static_cast<ObjectTree*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) {
        return 0;
    }
    if (name[0] == ':' && newOwner[0] == '\0' && self->onClientGone) {
        try {
            self->onClientGone(name);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tavoble-sim: client clean-up failed: %s\n", e.what());
        }
    }
    return 0;
}

int ObjectTree::onMessage(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
    auto* self = static_cast<ObjectTree*>(userdata);
    if (sd_bus_message_is_method_call(m, nullptr, nullptr) <= 0) {
        return 0;
    }
    auto call = std::make_shared<Call>(m);
    try {
        self->route(call);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavoble-sim: %s failed: %s\n", call->member().c_str(), e.what());
        call->replyError("org.bluez.Error.Failed", e.what());
    }
    return 1;
}

bool ObjectTree::knownPrefix(const std::string& path) const {
    if (path == "/") {
        return true;
    }
    auto it = nodes_.lower_bound(path);
    for (; it != nodes_.end(); ++it) {
        const std::string& p = it->first;
        if (p.compare(0, path.size(), path) != 0) {
            break;
        }
        if (p.size() == path.size() || p[path.size()] == '/') {
            return true;
        }
    }
    return false;
}

void ObjectTree::route(const CallPtr& call) {
    const std::string path = call->path();
    const char* ifcRaw = sd_bus_message_get_interface(call->msg());
    const std::string ifc = ifcRaw != nullptr ? ifcRaw : "";
    const std::string member = call->member();

    if (ifc == kIntrospectable && member == "Introspect") {
        if (!knownPrefix(path)) {
            call->replyError("org.freedesktop.DBus.Error.UnknownObject",
                             "Unknown object '" + path + "'.");
            return;
        }
        handleIntrospect(call);
        return;
    }
    if (path == "/" && ifc == kObjectManager) {
        if (member == "GetManagedObjects") {
            handleManagedObjects(call);
        } else {
            err::unknownMethod(call);
        }
        return;
    }
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        call->replyError("org.freedesktop.DBus.Error.UnknownObject",
                         "Unknown object '" + path + "'.");
        return;
    }
    if (ifc == kProps) {
        handleProperties(call, it->second);
        return;
    }
    if (!ifc.empty() && it->second.find(ifc) == nullptr) {
        err::unknownMethod(call);
        return;
    }
    // Copy: the handler may remove this very node.
    MethodHandler handler = it->second.handler;
    if (handler) {
        handler(call);
    }
    if (!call->replied() && call.use_count() == 1) {
        // Nobody kept the call for a later answer: it was not understood.
        err::unknownMethod(call);
    }
}

void ObjectTree::handleProperties(const CallPtr& call, Node& node) {
    const std::string member = call->member();
    const char* ifcName = nullptr;
    if (member == "Get" && call->hasSignature("ss")) {
        const char* prop = nullptr;
        sd_bus_message_read(call->msg(), "ss", &ifcName, &prop);
        Interface* i = node.find(ifcName);
        if (i == nullptr) {
            call->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                             std::string("No such interface '") + ifcName + "'");
            return;
        }
        const Value* v = i->find(prop);
        if (v == nullptr) {
            call->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                             std::string("No such property '") + prop + "'");
            return;
        }
        sd_bus_message* reply = call->newReply();
        appendVariant(reply, *v);
        call->send(reply);
        return;
    }
    if (member == "GetAll" && call->hasSignature("s")) {
        sd_bus_message_read(call->msg(), "s", &ifcName);
        Interface* i = node.find(ifcName);
        if (i == nullptr) {
            call->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                             std::string("No such interface '") + ifcName + "'");
            return;
        }
        sd_bus_message* reply = call->newReply();
        appendProperties(reply, i->props);
        call->send(reply);
        return;
    }
    if (member == "Set" && call->hasSignature("ssv")) {
        const char* prop = nullptr;
        sd_bus_message_read(call->msg(), "ss", &ifcName, &prop);
        Interface* i = node.find(ifcName);
        if (i == nullptr || i->find(prop) == nullptr) {
            call->replyError("org.freedesktop.DBus.Error.InvalidArgs",
                             std::string("No such property '") + prop + "'");
            return;
        }
        const std::string ifcCopy = ifcName;
        const std::string propCopy = prop;
        SetHandler setter = node.setter;
        if (setter) {
            setter(call, ifcCopy, propCopy);
        }
        if (!call->replied() && call.use_count() == 1) {
            call->replyError("org.freedesktop.DBus.Error.PropertyReadOnly",
                             "Property '" + propCopy + "' is not writable");
        }
        return;
    }
    err::unknownMethod(call);
}

void ObjectTree::handleIntrospect(const CallPtr& call) {
    const std::string path = call->path();
    std::string xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>";
    const auto& known = introspectionXml();
    xml += known.at(kIntrospectable);
    auto it = nodes_.find(path);
    if (it != nodes_.end()) {
        for (const auto& i : it->second.ifaces) {
            auto x = known.find(i.name);
            if (x != known.end()) {
                xml += x->second;
            } else {
                xml += "<interface name=\"" + i.name + "\"/>";
            }
        }
        xml += known.at(kProps);
    }
    if (path == "/") {
        xml += known.at(kObjectManager);
    }
    // Child nodes: the next path element of every object below this one.
    const std::string prefix = path == "/" ? "/" : path + "/";
    std::set<std::string> children;
    for (auto n = nodes_.lower_bound(prefix); n != nodes_.end(); ++n) {
        if (n->first.compare(0, prefix.size(), prefix) != 0) {
            break;
        }
        const std::string rest = n->first.substr(prefix.size());
        children.insert(rest.substr(0, rest.find('/')));
    }
    for (const auto& c : children) {
        xml += "<node name=\"" + c + "\"/>";
    }
    xml += "</node>\n";
    sd_bus_message* reply = call->newReply();
    sd_bus_message_append_basic(reply, 's', xml.c_str());
    call->send(reply);
}

namespace {
// a{sa{sv}} of one object, with the two standard interfaces that BlueZ lists too.
void appendInterfaces(sd_bus_message* m, const std::vector<const Interface*>& ifaces,
                      bool withStandard) {
    sd_bus_message_open_container(m, 'a', "{sa{sv}}");
    auto emptyIface = [m](const char* name) {
        sd_bus_message_open_container(m, 'e', "sa{sv}");
        sd_bus_message_append_basic(m, 's', name);
        sd_bus_message_open_container(m, 'a', "{sv}");
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
    };
    if (withStandard) {
        emptyIface(kIntrospectable);
    }
    for (const Interface* i : ifaces) {
        sd_bus_message_open_container(m, 'e', "sa{sv}");
        sd_bus_message_append_basic(m, 's', i->name.c_str());
        appendProperties(m, i->props);
        sd_bus_message_close_container(m);
    }
    if (withStandard) {
        emptyIface(kProps);
    }
    sd_bus_message_close_container(m);
}
}  // namespace

void ObjectTree::handleManagedObjects(const CallPtr& call) {
    sd_bus_message* reply = call->newReply();
    sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}");
    for (const auto& [path, node] : nodes_) {
        if (!node.managed) {
            continue;
        }
        sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
        sd_bus_message_append_basic(reply, 'o', path.c_str());
        std::vector<const Interface*> list;
        for (const auto& i : node.ifaces) {
            list.push_back(&i);
        }
        appendInterfaces(reply, list, true);
        sd_bus_message_close_container(reply);
    }
    sd_bus_message_close_container(reply);
    call->send(reply);
}

void ObjectTree::emitAdded(const std::string& path, const std::vector<const Interface*>& ifaces) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, "/", kObjectManager, "InterfacesAdded") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 'o', path.c_str());
    appendInterfaces(m, ifaces, true);
    sd_bus_send(bus_, m, nullptr);
    sd_bus_message_unref(m);
}

void ObjectTree::emitRemoved(const std::string& path, const std::vector<std::string>& names) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, "/", kObjectManager, "InterfacesRemoved") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 'o', path.c_str());
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& n : names) {
        sd_bus_message_append_basic(m, 's', n.c_str());
    }
    sd_bus_message_close_container(m);
    sd_bus_send(bus_, m, nullptr);
    sd_bus_message_unref(m);
}

void ObjectTree::addObject(const std::string& path, std::vector<Interface> ifaces,
                           MethodHandler handler, SetHandler setter, bool managed) {
    Node node;
    node.ifaces = std::move(ifaces);
    node.handler = std::move(handler);
    node.setter = std::move(setter);
    node.managed = managed;
    auto [it, inserted] = nodes_.insert_or_assign(path, std::move(node));
    (void)inserted;
    if (managed) {
        std::vector<const Interface*> list;
        for (const auto& i : it->second.ifaces) {
            list.push_back(&i);
        }
        emitAdded(path, list);
    }
}

void ObjectTree::addInterface(const std::string& path, Interface iface) {
    auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.find(iface.name) != nullptr) {
        return;
    }
    it->second.ifaces.push_back(std::move(iface));
    if (it->second.managed) {
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_signal(bus_, &m, "/", kObjectManager, "InterfacesAdded") < 0) {
            return;
        }
        sd_bus_message_append_basic(m, 'o', path.c_str());
        appendInterfaces(m, {&it->second.ifaces.back()}, false);
        sd_bus_send(bus_, m, nullptr);
        sd_bus_message_unref(m);
    }
}

void ObjectTree::removeInterface(const std::string& path, const std::string& name) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return;
    }
    auto& list = it->second.ifaces;
    auto pos =
        std::find_if(list.begin(), list.end(), [&](const Interface& i) { return i.name == name; });
    if (pos == list.end()) {
        return;
    }
    list.erase(pos);
    if (it->second.managed) {
        emitRemoved(path, {name});
    }
}

void ObjectTree::removeObject(const std::string& path) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return;
    }
    std::vector<std::string> names = {kProps};
    for (auto i = it->second.ifaces.rbegin(); i != it->second.ifaces.rend(); ++i) {
        names.push_back(i->name);
    }
    names.push_back(kIntrospectable);
    const bool managed = it->second.managed;
    nodes_.erase(it);
    if (managed) {
        emitRemoved(path, names);
    }
}

bool ObjectTree::hasInterface(const std::string& path, const std::string& name) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && const_cast<Node&>(it->second).find(name) != nullptr;
}

const Value* ObjectTree::get(const std::string& path, const std::string& ifc,
                             const std::string& prop) const {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return nullptr;
    }
    const Interface* i = const_cast<Node&>(it->second).find(ifc);
    return i != nullptr ? i->find(prop) : nullptr;
}

void ObjectTree::set(const std::string& path, const std::string& ifc, const std::string& prop,
                     Value v, bool force) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return;
    }
    Interface* i = it->second.find(ifc);
    if (i == nullptr) {
        return;
    }
    Value* cur = i->find(prop);
    if (cur == nullptr) {
        i->props.emplace_back(prop, std::move(v));
        cur = &i->props.back().second;
    } else if (*cur == v && !force) {
        return;
    } else {
        *cur = std::move(v);
    }
    if (!it->second.managed && ifc != iface::kSimulator) {
        return;
    }
    for (const auto& p : i->props) {
        if (p.first == prop) {
            emitChanged(path, ifc, {&p}, {});
            break;
        }
    }
}

void ObjectTree::invalidate(const std::string& path, const std::string& ifc,
                            const std::string& prop) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return;
    }
    Interface* i = it->second.find(ifc);
    if (i == nullptr) {
        return;
    }
    auto pos = std::find_if(i->props.begin(), i->props.end(),
                            [&](const auto& p) { return p.first == prop; });
    if (pos == i->props.end()) {
        return;
    }
    i->props.erase(pos);
    emitChanged(path, ifc, {}, {prop});
}

void ObjectTree::notifyBytes(const std::string& path, const std::string& ifc,
                             const std::string& prop, const uint8_t* data, size_t size) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        return;
    }
    Interface* i = it->second.find(ifc);
    Value* cur = i != nullptr ? i->find(prop) : nullptr;
    if (cur == nullptr || !std::holds_alternative<Bytes>(*cur)) {
        return;
    }
    std::get<Bytes>(*cur).assign(data, data + size);
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, path.c_str(), kProps, "PropertiesChanged") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 's', ifc.c_str());
    sd_bus_message_open_container(m, 'a', "{sv}");
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append_basic(m, 's', prop.c_str());
    sd_bus_message_open_container(m, 'v', "ay");
    sd_bus_message_append_array(m, 'y', data, size);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_append_strv(m, nullptr);
    sd_bus_send(bus_, m, nullptr);
    sd_bus_message_unref(m);
}

void ObjectTree::emitChanged(const std::string& path, const std::string& ifc,
                             const std::vector<const std::pair<std::string, Value>*>& changed,
                             const std::vector<std::string>& invalidated) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, path.c_str(), kProps, "PropertiesChanged") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 's', ifc.c_str());
    sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto* p : changed) {
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append_basic(m, 's', p->first.c_str());
        appendVariant(m, p->second);
        sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& n : invalidated) {
        sd_bus_message_append_basic(m, 's', n.c_str());
    }
    sd_bus_message_close_container(m);
    sd_bus_send(bus_, m, nullptr);
    sd_bus_message_unref(m);
}

}  // namespace tavosim
