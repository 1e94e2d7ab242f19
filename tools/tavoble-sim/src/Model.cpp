#include "Model.h"

namespace tavosim {

std::string devicePath(const std::string& adapterPath, const std::string& address) {
    std::string p = adapterPath + "/dev_" + address;
    std::replace(p.begin(), p.end(), ':', '_');
    return p;
}

std::string hexHandle(const char* prefix, uint16_t handle) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%04x", prefix, handle);
    return buf;
}

bool readOffsetOption(sd_bus_message* m, uint16_t& offset) {
    offset = 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        return false;
    }
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) {
            return false;
        }
        if (std::string(key) == "offset") {
            if (sd_bus_message_read(m, "v", "q", &offset) < 0) {
                return false;
            }
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return false;
        }
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return true;
}

void SentRing::push(uint64_t timeNs, const Bytes& bytes) {
    if (entries_.size() < capacity_) {
        entries_.emplace_back(timeNs, bytes);
    } else {
        auto& e = entries_[total_ % capacity_];
        e.first = timeNs;
        e.second.assign(bytes.begin(), bytes.end());
    }
    ++total_;
}

const std::pair<uint64_t, Bytes>& SentRing::at(uint64_t index) const {
    return entries_[entries_.size() < capacity_ ? index : index % capacity_];
}

}  // namespace tavosim
