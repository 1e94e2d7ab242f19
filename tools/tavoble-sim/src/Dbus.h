// A small D-Bus object server on sd-bus, shaped after what BlueZ's own object
// layer does: one tree of objects whose properties are plain values (so
// Properties.Get is always live), an ObjectManager at "/", introspection, and
// InterfacesAdded/InterfacesRemoved/PropertiesChanged signals. Properties can be
// absent (BlueZ omits Name or RSSI when it has none), which fixed vtables cannot
// express; that is why the tree routes raw messages itself.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavosim {

using Bytes = std::vector<uint8_t>;

struct ObjectPath {
    std::string path;
    bool operator==(const ObjectPath& o) const { return path == o.path; }
};

using ManufacturerData = std::map<uint16_t, Bytes>;

using Value =
    std::variant<bool, uint8_t, int16_t, uint16_t, uint32_t, std::string, ObjectPath, Bytes,
                 std::vector<std::string>, std::vector<ObjectPath>, ManufacturerData>;

std::string signatureOf(const Value& v);
// Appends v as its own D-Bus type, or wrapped in a variant.
int appendValue(sd_bus_message* m, const Value& v);
int appendVariant(sd_bus_message* m, const Value& v);

struct Interface {
    std::string name;
    std::vector<std::pair<std::string, Value>> props;  // in BlueZ's order

    Value* find(const std::string& prop);
    const Value* find(const std::string& prop) const;
};

// a{sv}: an interface's properties, in their order.
void appendProperties(sd_bus_message* m, const std::vector<std::pair<std::string, Value>>& props);
// a{sa{sv}} of one object, with the two standard interfaces that BlueZ lists
// too when withStandard is set.
void appendInterfaces(sd_bus_message* m, const std::vector<const Interface*>& ifaces,
                      bool withStandard);

// A method call in progress. Handlers reply at once or keep the pointer and
// reply later (BlueZ answers Connect or StartNotify asynchronously).
class Call {
  public:
    explicit Call(sd_bus_message* m) : m_(sd_bus_message_ref(m)) {}
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    sd_bus_message* msg() const { return m_; }
    std::string sender() const;
    std::string member() const;
    std::string path() const;
    bool hasSignature(const char* sig) const;
    bool replied() const { return replied_; }

    void replyEmpty();
    void replyError(const std::string& name, const std::string& text);
    // Builds a reply for the caller to fill; send it with send().
    sd_bus_message* newReply();
    void send(sd_bus_message* reply);

  private:
    sd_bus_message* m_;
    bool replied_ = false;
};
using CallPtr = std::shared_ptr<Call>;

using MethodHandler = std::function<void(const CallPtr&)>;
// Properties.Set: the value variant is the next thing to read from the call.
using SetHandler =
    std::function<void(const CallPtr&, const std::string& iface, const std::string& prop)>;

namespace err {
// BlueZ's own error names and texts.
void failed(const CallPtr& c, const std::string& text);
void inProgress(const CallPtr& c, const std::string& text = "In Progress");
void notReady(const CallPtr& c);
void notSupported(const CallPtr& c);
void notConnected(const CallPtr& c);
void doesNotExist(const CallPtr& c);
void notPermitted(const CallPtr& c, const std::string& text);
void invalidArgs(const CallPtr& c);
void unknownMethod(const CallPtr& c);
}  // namespace err

class ObjectTree {
  public:
    explicit ObjectTree(sd_bus* bus);
    ~ObjectTree();
    ObjectTree(const ObjectTree&) = delete;
    ObjectTree& operator=(const ObjectTree&) = delete;

    sd_bus* bus() const { return bus_; }

    // Called with a unique bus name when that client leaves the bus.
    std::function<void(const std::string&)> onClientGone;

    void addObject(const std::string& path, std::vector<Interface> ifaces, MethodHandler handler,
                   SetHandler setter = {}, bool managed = true);
    void addInterface(const std::string& path, Interface iface);
    void removeInterface(const std::string& path, const std::string& name);
    void removeObject(const std::string& path);
    bool has(const std::string& path) const { return nodes_.count(path) != 0; }
    bool hasInterface(const std::string& path, const std::string& iface) const;

    const Value* get(const std::string& path, const std::string& iface,
                     const std::string& prop) const;
    // Stores a value and signals it when it changed (always when force is set).
    void set(const std::string& path, const std::string& iface, const std::string& prop, Value v,
             bool force = false);
    // Removes a property and signals it as invalidated.
    void invalidate(const std::string& path, const std::string& iface, const std::string& prop);
    // Fast path for notifications: stores the bytes and always signals them.
    void notifyBytes(const std::string& path, const std::string& iface, const std::string& prop,
                     const uint8_t* data, size_t size);

  private:
    struct Node {
        std::vector<Interface> ifaces;
        MethodHandler handler;
        SetHandler setter;
        bool managed = true;
        Interface* find(const std::string& name);
    };

    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
    void route(const CallPtr& call);
    void handleProperties(const CallPtr& call, Node& node);
    void handleIntrospect(const CallPtr& call);
    void handleManagedObjects(const CallPtr& call);
    void emitChanged(const std::string& path, const std::string& iface,
                     const std::vector<const std::pair<std::string, Value>*>& changed,
                     const std::vector<std::string>& invalidated);
    void emitAdded(const std::string& path, const std::vector<const Interface*>& ifaces);
    void emitRemoved(const std::string& path, const std::vector<std::string>& names);
    bool knownPrefix(const std::string& path) const;

    sd_bus* bus_;
    sd_bus_slot* fallbackSlot_ = nullptr;
    sd_bus_slot* nameSlot_ = nullptr;
    std::map<std::string, Node> nodes_;
};

// Interface names in one place.
namespace iface {
inline constexpr const char* kProps = "org.freedesktop.DBus.Properties";
inline constexpr const char* kIntrospectable = "org.freedesktop.DBus.Introspectable";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kBattery = "org.bluez.Battery1";
inline constexpr const char* kService = "org.bluez.GattService1";
inline constexpr const char* kChar = "org.bluez.GattCharacteristic1";
inline constexpr const char* kDesc = "org.bluez.GattDescriptor1";
inline constexpr const char* kAgentManager = "org.bluez.AgentManager1";
inline constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
inline constexpr const char* kSimulator = "org.tavoble.Simulator1";
}  // namespace iface

}  // namespace tavosim
