// The object tree: routing calls, Properties, ObjectManager, and the signals
// that announce every change.

#include "Dbus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tavosim {

namespace {

// Ends a signal with its array of names (interfaces removed, properties
// invalidated), sends it and lets it go.
void sendWithNames(sd_bus* bus, sd_bus_message* m, const std::vector<std::string>& names) {
    sd_bus_message_open_container(m, 'a', "s");
    for (const auto& n : names) {
        sd_bus_message_append_basic(m, 's', n.c_str());
    }
    sd_bus_message_close_container(m);
    sd_bus_send(bus, m, nullptr);
    sd_bus_message_unref(m);
}

}  // namespace

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

void ObjectTree::route(const CallPtr& call) {
    const std::string path = call->path();
    const char* ifcRaw = sd_bus_message_get_interface(call->msg());
    const std::string ifc = ifcRaw != nullptr ? ifcRaw : "";
    const std::string member = call->member();

    if (ifc == iface::kIntrospectable && member == "Introspect") {
        if (!knownPrefix(path)) {
            call->replyError("org.freedesktop.DBus.Error.UnknownObject",
                             "Unknown object '" + path + "'.");
            return;
        }
        handleIntrospect(call);
        return;
    }
    if (path == "/" && ifc == iface::kObjectManager) {
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
    if (ifc == iface::kProps) {
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
    if (sd_bus_message_new_signal(bus_, &m, "/", iface::kObjectManager, "InterfacesAdded") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 'o', path.c_str());
    appendInterfaces(m, ifaces, true);
    sd_bus_send(bus_, m, nullptr);
    sd_bus_message_unref(m);
}

void ObjectTree::emitRemoved(const std::string& path, const std::vector<std::string>& names) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(bus_, &m, "/", iface::kObjectManager, "InterfacesRemoved") < 0) {
        return;
    }
    sd_bus_message_append_basic(m, 'o', path.c_str());
    sendWithNames(bus_, m, names);
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
        if (sd_bus_message_new_signal(bus_, &m, "/", iface::kObjectManager, "InterfacesAdded") <
            0) {
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
    std::vector<std::string> names = {iface::kProps};
    for (auto i = it->second.ifaces.rbegin(); i != it->second.ifaces.rend(); ++i) {
        names.push_back(i->name);
    }
    names.push_back(iface::kIntrospectable);
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
    if (sd_bus_message_new_signal(bus_, &m, path.c_str(), iface::kProps, "PropertiesChanged") < 0) {
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
    if (sd_bus_message_new_signal(bus_, &m, path.c_str(), iface::kProps, "PropertiesChanged") < 0) {
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
    sendWithNames(bus_, m, invalidated);
}

}  // namespace tavosim
