// A method call in progress, its replies and BlueZ's error replies.

#include "Dbus.h"

#include <stdexcept>

namespace tavosim {

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

}  // namespace tavosim
