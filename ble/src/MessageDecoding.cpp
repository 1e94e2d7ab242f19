#include "MessageDecoding.h"

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <cstring>

#include "BluezNames.h"

namespace SimpleBLE::detail {

namespace {

// sdbus-c++ reads an array of bytes one call per byte; sd-bus hands out the
// whole array at once. The message's sd-bus object is a protected member of
// sdbus::Message, reached through a pointer to that member.
struct RawMessage : sdbus::Message {
    static sd_bus_message* of(sdbus::Message& msg) {
        void* sdbus::Message::*raw = &RawMessage::msg_;
        return static_cast<sd_bus_message*>(msg.*raw);
    }
};

// Values are read straight from the message: sdbus::Variant is avoided on the
// event thread because it uses a function-local static of sdbus-c++ that is
// destroyed at exit, while this thread may still be serving the bus.

// Reads one basic value of type T and drops it.
template <typename T>
void discard(sdbus::Message& msg) {
    T value{};
    msg >> value;
}

// One complete type of a signature ("s", "ay", "a{sv}", "(ii)") from `pos` on.
std::string completeType(const std::string& sig, size_t& pos) {
    const size_t start = pos;
    int depth = 0;
    do {
        if (pos >= sig.size()) {
            throw std::runtime_error("malformed signature " + sig);
        }
        char c = sig[pos++];
        if (c == '(' || c == '{') {
            ++depth;
        } else if (c == ')' || c == '}') {
            --depth;
        } else if (c == 'a') {
            continue;  // its element follows
        }
    } while (depth > 0);
    return sig.substr(start, pos - start);
}

// Skips the elements of an entered array of `element`.
void skipElements(sdbus::Message& msg, const std::string& element) {
    switch (element[0]) {
        case '{': {
            const std::string inner = element.substr(1, element.size() - 2);
            size_t pos = 0;
            const std::string key = completeType(inner, pos);
            const std::string value = completeType(inner, pos);
            while (msg.enterDictEntry(inner)) {
                skip(msg, key);
                skip(msg, value);
                msg.exitDictEntry();
            }
            break;
        }
        case '(': {
            const std::string inner = element.substr(1, element.size() - 2);
            while (msg.enterStruct(inner)) {
                for (size_t pos = 0; pos < inner.size();) {
                    skip(msg, completeType(inner, pos));
                }
                msg.exitStruct();
            }
            break;
        }
        case 'a':
            while (msg.enterContainer(element.substr(1))) {
                skipElements(msg, element.substr(1));
                msg.clearFlags();
                msg.exitContainer();
            }
            break;
        case 'v':
            // No BlueZ property is an array of variants; the end of such an
            // array cannot be found through this interface.
            throw std::runtime_error("arrays of variants are not read");
        default:
            // Basic elements: reading past the last one clears the message's flag.
            for (;;) {
                skip(msg, element);
                if (!msg) {
                    break;
                }
            }
            break;
    }
    msg.clearFlags();
}

}  // namespace

void skip(sdbus::Message& msg, const std::string& type) {
    switch (type[0]) {
        case 'y':
            discard<uint8_t>(msg);
            break;
        case 'b':
            discard<bool>(msg);
            break;
        case 'n':
            discard<int16_t>(msg);
            break;
        case 'q':
            discard<uint16_t>(msg);
            break;
        case 'i':
            discard<int32_t>(msg);
            break;
        case 'u':
            discard<uint32_t>(msg);
            break;
        case 'x':
            discard<int64_t>(msg);
            break;
        case 't':
            discard<uint64_t>(msg);
            break;
        case 'd':
            discard<double>(msg);
            break;
        case 's':
            discard<char*>(msg);
            break;
        case 'o':
            discard<sdbus::ObjectPath>(msg);
            break;
        case 'g':
            discard<sdbus::Signature>(msg);
            break;
        case 'h':
            discard<sdbus::UnixFd>(msg);
            break;
        case 'v': {
            std::string kind, contents;
            msg.peekType(kind, contents);
            msg.enterVariant(contents);
            skip(msg, contents);
            msg.exitVariant();
            break;
        }
        case 'a':
            msg.enterContainer(type.substr(1));
            skipElements(msg, type.substr(1));
            msg.exitContainer();
            break;
        case '(': {
            const std::string inner = type.substr(1, type.size() - 2);
            msg.enterStruct(inner);
            for (size_t pos = 0; pos < inner.size();) {
                skip(msg, completeType(inner, pos));
            }
            msg.exitStruct();
            break;
        }
        default:
            throw std::runtime_error("unknown D-Bus type " + type);
    }
}

// Reads a variant; types the central does not use are skipped.
Value readVariant(sdbus::Message& msg) {
    std::string kind, contents;
    msg.peekType(kind, contents);
    msg.enterVariant(contents);
    Value value;
    if (contents == "b") {
        bool v = false;
        msg >> v;
        value = v;
    } else if (contents == "y") {
        uint8_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "n") {
        int16_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "q") {
        uint16_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "i") {
        int32_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "u") {
        uint32_t v = 0;
        msg >> v;
        value = v;
    } else if (contents == "s") {
        std::string v;
        msg >> v;
        value = std::move(v);
    } else if (contents == "o") {
        sdbus::ObjectPath v;
        msg >> v;
        value = std::string(std::move(v));
    } else if (contents == "as") {
        std::vector<std::string> v;
        msg >> v;
        value = std::move(v);
    } else if (contents == "ay") {
        std::vector<uint8_t> v;
        msg >> v;
        value = std::move(v);
    } else {
        skip(msg, contents);
    }
    msg.exitVariant();
    return value;
}

namespace {

// The one shape of the dictionaries BlueZ sends: a{K V} with string-like keys.
// `key` is the key's type code, `value` reads one value.
template <typename Key, typename Map, typename ReadValue>
Map readDict(sdbus::Message& msg, const std::string& entry, ReadValue value) {
    Map map;
    msg.enterContainer("{" + entry + "}");
    while (msg.enterDictEntry(entry)) {
        Key key;
        msg >> key;
        map[std::string(key)] = value(msg);
        msg.exitDictEntry();
    }
    msg.clearFlags();
    msg.exitContainer();
    return map;
}

}  // namespace

Properties readProperties(sdbus::Message& msg) {
    return readDict<std::string, Properties>(msg, "sv", readVariant);
}

Interfaces readInterfaces(sdbus::Message& msg) {
    return readDict<std::string, Interfaces>(msg, "sa{sv}", readProperties);
}

Objects readObjects(sdbus::Message& msg) {
    return readDict<sdbus::ObjectPath, Objects>(msg, "oa{sa{sv}}", readInterfaces);
}

bool readNotification(sdbus::Message& msg, std::vector<uint8_t>& bytes) {
    char* interface = nullptr;
    msg >> interface;
    if (interface == nullptr || std::strcmp(interface, kCharacteristicInterface) != 0) {
        return false;
    }
    bool found = false;
    msg.enterContainer("{sv}");
    while (msg.enterDictEntry("sv")) {
        char* name = nullptr;
        msg >> name;
        std::string kind, contents;
        msg.peekType(kind, contents);
        if (found || name == nullptr || std::strcmp(name, "Value") != 0 || contents != "ay") {
            skip(msg, "v");
            msg.exitDictEntry();
            continue;
        }
        // The whole array in one call, copied once into the vector handed over.
        msg.enterVariant("ay");
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(RawMessage::of(msg), 'y', &data, &size) < 0) {
            throw std::runtime_error("malformed notification value");
        }
        const auto* first = static_cast<const uint8_t*>(data);
        bytes.assign(first, first + size);
        msg.exitVariant();
        msg.exitDictEntry();
        found = true;
    }
    msg.clearFlags();
    msg.exitContainer();
    return found;
}

}  // namespace SimpleBLE::detail
