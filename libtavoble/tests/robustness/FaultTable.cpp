#include "FaultTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace robustness {

namespace {

// The simulator's scale of a signal channel without one (microvolts per count).
constexpr float kDefaultScale = 0.02235174f;
constexpr uint8_t kCounterType = 5;

bool Same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

int32_t Sample(const std::vector<uint8_t>& payload, std::size_t index) {
    const uint32_t raw = static_cast<uint32_t>(payload[3 * index]) << 16 |
                         static_cast<uint32_t>(payload[3 * index + 1]) << 8 |
                         static_cast<uint32_t>(payload[3 * index + 2]);
    return static_cast<int32_t>(raw ^ 0x800000u) - 0x800000;
}

}  // namespace

Layout Layout::FromAmplifier(const Json& amplifier) {
    Layout layout;
    const Json channels = amplifier.value("channels", Json(8));
    if (channels.is_number()) {
        const int count = channels.get<int>();
        for (int i = 1; i <= count; ++i) {
            const bool counter = i == count;
            layout.channels.push_back({static_cast<uint16_t>(i),
                                       counter ? kCounterType : uint8_t{1},
                                       counter ? 1.0f : kDefaultScale});
        }
    } else {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const Json& c = channels[i];
            Channel channel;
            channel.number = c.value("number", static_cast<uint16_t>(i + 1));
            channel.type = c.value("type", uint8_t{1});
            channel.scale = c.contains("scale")
                                ? static_cast<float>(c["scale"].get<double>())
                                : (channel.type == kCounterType ? 1.0f : kDefaultScale);
            layout.channels.push_back(channel);
        }
    }
    std::sort(layout.channels.begin(), layout.channels.end(),
              [](const Channel& a, const Channel& b) { return a.number < b.number; });
    const uint16_t scans = amplifier.value("scansPerNotification", uint16_t{2});
    if (amplifier.contains("payloadLayout")) {
        for (const Json& pair : amplifier["payloadLayout"]) {
            layout.samples.emplace_back(pair[0].get<uint16_t>(), pair[1].get<uint16_t>());
        }
    } else {
        for (uint16_t frame = 0; frame < scans; ++frame) {
            for (const Channel& c : layout.channels) {
                layout.samples.emplace_back(c.number, frame);
            }
        }
    }
    for (const auto& sample : layout.samples) {
        layout.frames = std::max<uint16_t>(layout.frames, static_cast<uint16_t>(sample.second + 1));
    }
    layout.payloadSize = 3 * layout.samples.size() + amplifier.value("payloadPadding", 0u);
    return layout;
}

ExpectedScans::ExpectedScans(const Layout& layout)
    : layout_(layout), current_(layout.frames * layout.ValuesPerScan(), 0.0f) {}

void ExpectedScans::Add(const std::vector<uint8_t>& payload, std::vector<std::vector<float>>& out) {
    const Layout& l = layout_;
    if (payload.size() != l.payloadSize) {
        return;
    }
    const std::size_t width = l.ValuesPerScan();
    const std::size_t n = l.channels.size();
    // A scan after a channel's last sample repeats that sample; the last
    // sample is the one of its highest scan, in whatever order they came.
    std::vector<uint16_t> framesOf(n, 0);
    for (std::size_t i = 0; i < l.samples.size(); ++i) {
        const auto [channel, frame] = l.samples[i];
        const std::size_t column = channel - 1u;
        current_[frame * width + column] =
            static_cast<float>(Sample(payload, i)) * l.channels[column].scale;
        framesOf[column] = std::max(framesOf[column], static_cast<uint16_t>(frame + 1));
    }
    for (std::size_t column = 0; column < n; ++column) {
        for (std::size_t frame = framesOf[column]; frame > 0 && frame < l.frames; ++frame) {
            current_[frame * width + column] = current_[(framesOf[column] - 1u) * width + column];
        }
    }
    for (std::size_t column = 0; column < n; ++column) {
        if (l.channels[column].type != kCounterType) {
            continue;
        }
        for (std::size_t frame = 0; frame < l.frames; ++frame) {
            float& cell = current_[frame * width + column];
            cell = static_cast<float>(l.frames) * (cell - 1.0f) + static_cast<float>(frame) + 1.0f;
        }
    }
    for (std::size_t frame = 0; frame < l.frames; ++frame) {
        out.emplace_back(current_.begin() + static_cast<std::ptrdiff_t>(frame * width),
                         current_.begin() + static_cast<std::ptrdiff_t>(frame * width + n));
    }
}

std::string StreamSummary::Describe() const {
    std::ostringstream s;
    s << "valid " << valid << " (of " << expectedValid << " sent in " << sent << " of " << offered
      << " notifications), fillers " << fillers << ", mismatched " << mismatched << ", bad size "
      << badSize << ", breaks " << breaks << ", backwards " << backwards << ", bad fillers "
      << badFillers << ", bad battery " << badBattery << (counted ? "" : ", no counter");
    return s.str();
}

StreamSummary Summarise(const Layout& layout, float battery,
                        const std::vector<std::vector<float>>& scans,
                        const std::vector<std::vector<uint8_t>>& sent, uint64_t offered) {
    StreamSummary s;
    s.sent = sent.size();
    s.offered = offered;
    std::vector<std::vector<float>> expected;
    ExpectedScans decoder(layout);
    for (const auto& payload : sent) {
        decoder.Add(payload, expected);
    }
    s.expectedValid = expected.size();

    const std::size_t n = layout.channels.size();
    const std::size_t width = layout.ValuesPerScan();
    int counter = -1;
    for (std::size_t c = 0; c < n; ++c) {
        if (layout.channels[c].type == kCounterType) {
            counter = static_cast<int>(c);
        }
    }
    s.counted = counter >= 0;
    // Fillers repeat the last scan; before the first one that is all zeros.
    std::vector<float> last(width, 0.0f);
    bool first = true;
    float previousNumber = 0.0f;
    for (const auto& scan : scans) {
        if (scan.size() != width || (scan[n + 1] != 1.0f && scan[n + 1] != 0.0f)) {
            ++s.badSize;
            continue;
        }
        if (counter >= 0) {
            const float number = scan[static_cast<std::size_t>(counter)];
            if (!first && number != previousNumber + 1.0f) {
                ++s.breaks;
                if (number < previousNumber) {
                    ++s.backwards;
                }
            }
            previousNumber = number;
        }
        first = false;
        if (scan[n + 1] == 0.0f) {
            ++s.fillers;
            for (std::size_t c = 0; c < n + 1; ++c) {
                if (static_cast<int>(c) != counter && !Same(scan[c], last[c])) {
                    ++s.badFillers;
                    break;
                }
            }
        } else {
            if (s.valid >= expected.size() ||
                !std::equal(expected[s.valid].begin(), expected[s.valid].end(), scan.begin(),
                            Same)) {
                ++s.mismatched;
            }
            if (scan[n] != battery) {
                ++s.badBattery;
            }
            ++s.valid;
        }
        last = scan;
    }
    return s;
}

std::string CheckStream(const std::string& kind, const StreamSummary& s) {
    constexpr std::size_t kEnough = 10;
    std::vector<std::string> wrong;
    // Whatever the fault, a scan marked valid carries what the amplifier sent.
    if (s.mismatched != 0) {
        wrong.push_back("valid scans that differ from what was sent");
    }
    if (s.badSize != 0) {
        wrong.push_back("scans of the wrong size");
    }
    if (s.badBattery != 0) {
        wrong.push_back("a wrong battery column");
    }
    if (s.badFillers != 0) {
        wrong.push_back("fillers that do not repeat the last scan");
    }
    if (kind == "none") {
        if (s.valid + s.fillers != 0) {
            wrong.push_back("scans delivered");
        }
        if (s.offered < kEnough) {
            wrong.push_back("too few notifications sent");
        }
    } else {
        if (s.valid < kEnough) {
            wrong.push_back("too few valid scans");
        }
        if (kind == "fillers" ? s.fillers == 0 : s.fillers != 0) {
            wrong.push_back(kind == "fillers" ? "no filler scans" : "filler scans");
        }
        if (kind == "exact" || kind == "fillers" || kind == "stops") {
            if (!s.counted) {
                wrong.push_back("no counter channel");
            }
            if (s.breaks != 0) {
                wrong.push_back("sample numbers with gaps");
            }
        } else if (kind == "restarts") {
            if (s.backwards == 0) {
                wrong.push_back("sample numbers never start again");
            }
        } else if (kind == "uncounted") {
            if (s.counted) {
                wrong.push_back("a counter channel");
            }
        } else {
            wrong.push_back("unknown stream kind " + kind);
        }
        if (kind == "stops" && s.valid != s.expectedValid) {
            wrong.push_back("not every scan sent before the link ended arrived");
        }
    }
    std::string text;
    for (const auto& w : wrong) {
        text += (text.empty() ? "" : "; ") + w;
    }
    return text;
}

std::string Bytes(const Json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_array()) {
        std::string out;
        for (const Json& b : value) {
            out.push_back(static_cast<char>(b.get<int>()));
        }
        return out;
    }
    if (value.contains("hex")) {
        const std::string hex = value["hex"].get<std::string>();
        std::string out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return out;
    }
    std::string out;
    const std::string unit = value["repeat"].get<std::string>();
    for (int i = 0; i < value["count"].get<int>(); ++i) {
        out += unit;
    }
    return out;
}

Json Merge(const Json& base, const Json& overlay) {
    if (!base.is_object() || !overlay.is_object()) {
        return overlay;
    }
    Json out = base;
    for (const auto& item : overlay.items()) {
        out[item.key()] =
            out.contains(item.key()) ? Merge(out[item.key()], item.value()) : item.value();
    }
    return out;
}

Table Table::Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    const Json file = Json::parse(in);
    Table table;
    table.base = file["base"];
    const Json groupScenario = file.value("scenario", Json::object());
    for (std::size_t i = 0; i < file["rows"].size(); ++i) {
        const Json& r = file["rows"][i];
        Row row;
        row.index = i;
        row.id = r["id"].get<std::string>();
        row.group = r.value("group", std::string("amplifiers"));
        row.slow = r.value("slow", std::string());
        char name[32];
        std::snprintf(name, sizeof name, "UX-%04zu.00.01", i + 1);
        row.amplifier = Merge(table.base, r.value("amplifier", Json::object()));
        if (!row.amplifier.contains("name")) {
            row.amplifier["name"] = name;
        }
        row.name = r.value("openName", std::string(name));
        row.scenario = Merge(groupScenario, r.value("scenario", Json::object()));
        row.expect = r["expect"];
        table.rows.push_back(std::move(row));
    }
    return table;
}

std::vector<std::string> Table::Groups() const {
    std::vector<std::string> groups;
    for (const Row& row : rows) {
        if (std::find(groups.begin(), groups.end(), row.group) == groups.end()) {
            groups.push_back(row.group);
        }
    }
    return groups;
}

std::vector<const Row*> Table::RowsOf(const std::string& group) const {
    std::vector<const Row*> out;
    for (const Row& row : rows) {
        if (row.group == group) {
            out.push_back(&row);
        }
    }
    return out;
}

std::string Table::ScenarioOf(const std::string& group) const {
    const auto members = RowsOf(group);
    Json scenario = members.front()->scenario;
    scenario["amplifiers"] = Json::array();
    for (const Row* row : members) {
        scenario["amplifiers"].push_back(row->amplifier);
    }
    return scenario.dump();
}

}  // namespace robustness
