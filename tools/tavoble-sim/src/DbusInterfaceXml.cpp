// The XML description of every object the simulator serves, with BlueZ's interfaces.

#include "Dbus.h"

#include <set>

namespace tavosim {

namespace {

// The XML of every interface the simulator serves.
const std::map<std::string, std::string>& interfaceXml() {
    static const std::
        map<std::string, std::string>
            xml =
                {
                    {iface::kIntrospectable,
                     R"xml(<interface name="org.freedesktop.DBus.Introspectable"><method name="Introspect"><arg name="xml" type="s" direction="out"/></method></interface>)xml"},
                    {iface::kProps,
                     R"xml(<interface name="org.freedesktop.DBus.Properties"><method name="Get"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method><method name="Set"><arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="in"/></method><method name="GetAll"><arg name="interface" type="s" direction="in"/><arg name="properties" type="a{sv}" direction="out"/></method><signal name="PropertiesChanged"><arg name="interface" type="s"/><arg name="changed_properties" type="a{sv}"/><arg name="invalidated_properties" type="as"/></signal></interface>)xml"},
                    {iface::kObjectManager,
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
                     R"xml(<interface name="org.bluez.GattCharacteristic1"><method name="ReadValue"><arg name="options" type="a{sv}" direction="in"/><arg name="value" type="ay" direction="out"/></method><method name="WriteValue"><arg name="value" type="ay" direction="in"/><arg name="options" type="a{sv}" direction="in"/></method><method name="AcquireWrite"><arg name="options" type="a{sv}" direction="in"/><arg name="fd" type="h" direction="out"/><arg name="mtu" type="q" direction="out"/></method><method name="AcquireNotify"><arg name="options" type="a{sv}" direction="in"/><arg name="fd" type="h" direction="out"/><arg name="mtu" type="q" direction="out"/></method><method name="StartNotify"/><method name="StopNotify"/><property name="UUID" type="s" access="read"/><property name="Service" type="o" access="read"/><property name="Value" type="ay" access="read"/><property name="Notifying" type="b" access="read"/><property name="Flags" type="as" access="read"/><property name="WriteAcquired" type="b" access="read"/><property name="NotifyAcquired" type="b" access="read"/><property name="MTU" type="q" access="read"/></interface>)xml"},
                    {iface::kDesc,
                     R"xml(<interface name="org.bluez.GattDescriptor1"><method name="ReadValue"><arg name="options" type="a{sv}" direction="in"/><arg name="value" type="ay" direction="out"/></method><method name="WriteValue"><arg name="value" type="ay" direction="in"/><arg name="options" type="a{sv}" direction="in"/></method><property name="UUID" type="s" access="read"/><property name="Characteristic" type="o" access="read"/><property name="Value" type="ay" access="read"/></interface>)xml"},
                    {iface::kSimulator,
                     R"xml(<interface name="org.tavoble.Simulator1"><method name="SetPowered"><arg name="adapter" type="s" direction="in"/><arg name="powered" type="b" direction="in"/></method><method name="AddAmplifier"><arg name="amplifierJson" type="s" direction="in"/><arg name="devicePath" type="o" direction="out"/></method><method name="RemoveAmplifier"><arg name="name" type="s" direction="in"/></method><method name="SetAdvertising"><arg name="name" type="s" direction="in"/><arg name="advertising" type="b" direction="in"/></method><method name="DisconnectPeer"><arg name="name" type="s" direction="in"/></method><method name="SetBatteryLevel"><arg name="name" type="s" direction="in"/><arg name="percent" type="y" direction="in"/></method><method name="SetRate"><arg name="name" type="s" direction="in"/><arg name="multiplier" type="d" direction="in"/></method><method name="GetCounters"><arg name="name" type="s" direction="in"/><arg name="counters" type="a{st}" direction="out"/></method><method name="ResetCounters"><arg name="name" type="s" direction="in"/></method><method name="IsConnected"><arg name="name" type="s" direction="in"/><arg name="connected" type="b" direction="out"/></method><method name="GetSentData"><arg name="name" type="s" direction="in"/><arg name="first" type="t" direction="in"/><arg name="maxCount" type="u" direction="in"/><arg name="notifications" type="a(tay)" direction="out"/></method><method name="ListAmplifiers"><arg name="names" type="as" direction="out"/></method></interface>)xml"},
                };
    return xml;
}

}  // namespace

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

void ObjectTree::handleIntrospect(const CallPtr& call) {
    const std::string path = call->path();
    std::string xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>";
    const auto& known = interfaceXml();
    xml += known.at(iface::kIntrospectable);
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
        xml += known.at(iface::kProps);
    }
    if (path == "/") {
        xml += known.at(iface::kObjectManager);
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

}  // namespace tavosim
