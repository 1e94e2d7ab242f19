// D-Bus values: signatures and marshalling of property values.

#include "Dbus.h"

namespace tavosim {

namespace {

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
void appendProperties(sd_bus_message* m, const std::vector<std::pair<std::string, Value>>& props) {
    sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& [name, value] : props) {
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append_basic(m, 's', name.c_str());
        appendVariant(m, value);
        sd_bus_message_close_container(m);
    }
    sd_bus_message_close_container(m);
}

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
        emptyIface(iface::kIntrospectable);
    }
    for (const Interface* i : ifaces) {
        sd_bus_message_open_container(m, 'e', "sa{sv}");
        sd_bus_message_append_basic(m, 's', i->name.c_str());
        appendProperties(m, i->props);
        sd_bus_message_close_container(m);
    }
    if (withStandard) {
        emptyIface(iface::kProps);
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

}  // namespace tavosim
