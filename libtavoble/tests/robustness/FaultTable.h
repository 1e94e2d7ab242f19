#pragma once

// The fault table (faults.json): every fault a simulator scenario can
// express, the amplifier that shows it and the outcome the C interface must
// give. Also what a scan stream must look like, judged against the
// notifications the simulator reports it sent.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace robustness {

using Json = nlohmann::json;

// What the amplifier declares: enough to decode its notifications the way an
// independent reader would.
struct Layout {
    struct Channel {
        uint16_t number = 0;
        uint8_t type = 1;
        float scale = 1.0f;
    };
    std::vector<Channel> channels;                       // in channel-number order 1..N
    std::vector<std::pair<uint16_t, uint16_t>> samples;  // (channel, frame) per sample
    uint16_t frames = 0;
    std::size_t payloadSize = 0;

    // From an amplifier object of a scenario, with the simulator's defaults.
    static Layout FromAmplifier(const Json& amplifier);
    std::size_t ValuesPerScan() const { return channels.size() + 2; }
};

// Turns notifications into the scans the library must deliver for them, the
// way the amplifier declared them (placement, hold, counter numbering).
class ExpectedScans {
  public:
    explicit ExpectedScans(const Layout& layout);
    // Appends the scans of one notification; a notification of the wrong size
    // yields none. Only the channel columns are filled.
    void Add(const std::vector<uint8_t>& payload, std::vector<std::vector<float>>& out);

  private:
    const Layout& layout_;
    std::vector<float> current_;
};

// What a delivered stream looked like.
struct StreamSummary {
    std::size_t valid = 0;          // scans with data-valid 1.0
    std::size_t fillers = 0;        // scans with data-valid 0.0
    std::size_t mismatched = 0;     // valid scans whose channels differ from what was sent
    std::size_t badSize = 0;        // scans of the wrong length or with another data-valid value
    std::size_t breaks = 0;         // sample number not previous + 1
    std::size_t backwards = 0;      // sample number below the previous one
    std::size_t badFillers = 0;     // fillers that do not repeat the last scan
    std::size_t badBattery = 0;     // valid scans whose battery column is not the level
    std::size_t expectedValid = 0;  // scans the sent notifications stand for
    uint64_t sent = 0;              // data notifications the amplifier sent
    uint64_t offered = 0;           // the same with those it dropped on purpose
    bool counted = false;           // the amplifier has a counter channel

    std::string Describe() const;
};

StreamSummary Summarise(const Layout& layout, float battery,
                        const std::vector<std::vector<float>>& scans,
                        const std::vector<std::vector<uint8_t>>& sent, uint64_t offered);

// Empty when the summary shows the stream kind `kind` ("exact", "fillers",
// "uncounted", "restarts", "none", "stops"), else why not.
std::string CheckStream(const std::string& kind, const StreamSummary& summary);

// Bytes written as the simulator's scenario files write them: "text",
// [1, 2, 3], {"hex": "c3a9"} or {"repeat": "A", "count": 300}.
std::string Bytes(const Json& value);

// Object merge: `overlay`'s members replace `base`'s, objects merged member by member.
Json Merge(const Json& base, const Json& overlay);

struct Row {
    std::size_t index = 0;  // 0-based position in the table
    std::string id;
    std::string group;  // rows of one group share one simulator
    std::string slow;   // rows with the same key run side by side in one worker
    std::string name;   // what is opened
    Json amplifier;     // merged with the base; null for none
    Json scenario;      // scenario-level keys of the group
    Json expect;        // list of acceptable outcomes
};

struct Table {
    Json base;
    std::vector<Row> rows;

    static Table Load(const std::string& path);
    std::vector<std::string> Groups() const;
    std::vector<const Row*> RowsOf(const std::string& group) const;
    // The scenario JSON that plays every row of the group.
    std::string ScenarioOf(const std::string& group) const;
};

}  // namespace robustness
