// Every row of the fault table through the C interface: the amplifier of the
// row is opened, its information read and its scans received, and what the
// library did is compared with the row's expected outcome.
//
// The last-error text is one per process, so rows that fail at the same time
// on different threads would read each other's texts. The rows of a group are
// therefore shared out to worker processes (forked before the library's first
// call), each opening its rows one after the other; only rows that wait 2 to
// 10 s and fail with the same text run side by side as threads of one worker.
// The workers report what they saw in a file, keep their devices open until
// the test has checked what the simulator says about the links, then close.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "FaultTable.h"
#include "FaultWorker.h"
#include "SimHarness.h"
#include "tavoble.h"

using namespace robustness;
using namespace std::chrono_literals;

namespace {

constexpr int kFastWorkers = 4;

const Table& FaultTable() {
    static const Table table = Table::Load(TAVOBLE_FAULT_TABLE);
    return table;
}

bool Observing() {
    return std::getenv("TAVOBLE_FAULTS_OBSERVE") != nullptr;
}

struct Worker {
    pid_t pid = -1;
    std::string report;
    int readyFd = -1;
    int goFd = -1;
};

std::vector<std::vector<float>> ScansOf(const Json& observed) {
    std::vector<std::vector<float>> scans;
    for (const Json& bits : observed.value("scans", Json::array())) {
        std::vector<float> scan;
        for (const Json& b : bits) {
            const uint32_t u = b.get<uint32_t>();
            float v;
            std::memcpy(&v, &u, sizeof v);
            scan.push_back(v);
        }
        scans.push_back(std::move(scan));
    }
    return scans;
}

std::string HexOf(const std::string& bytes) {
    return Hex(bytes.c_str(), bytes.size() + 1);
}

// Empty when `observed` is the outcome `alternative`, else what differs.
std::string Compare(const Json& alternative, const Json& observed, const StreamSummary* summary) {
    std::string why;
    auto differs = [&why](const std::string& what) { why += (why.empty() ? "" : "; ") + what; };
    auto result = [&](const Json& want, const Json& got, const std::string& what) {
        if (got.is_null()) {
            differs(what + " not tried");
            return;
        }
        if (got["code"] != want["code"]) {
            differs(what + " returned " + got["code"].dump());
        } else if (want.contains("text") && got["text"] != want["text"]) {
            differs(what + " said " + got["text"].dump());
        }
        if (want.contains("sameHandle") && got.value("sameHandle", false) != want["sameHandle"]) {
            differs(what +
                    (want["sameHandle"] == true ? " gave a new handle" : " gave the same handle"));
        }
    };
    result(alternative, observed, "open");
    const Json* final = &observed;
    if (alternative.contains("retry")) {
        result(alternative["retry"], observed.value("retry", Json()), "second open");
        final = observed.contains("retry") ? &observed["retry"] : final;
    }
    if (alternative.contains("secondOpen")) {
        result(alternative["secondOpen"], observed.value("secondOpen", Json()), "second open");
    }
    if (observed.contains("infoCode") && observed["infoCode"] != 0) {
        differs("TAVOBLE_GetDeviceInformation returned " + observed["infoCode"].dump());
    }
    const Json wantInfo = alternative.value("info", Json::object());
    const Json gotInfo = observed.value("info", Json::object());
    for (const auto& field : wantInfo.items()) {
        const Json got = gotInfo.value(field.key(), Json());
        const Json want =
            field.value().is_number() ? field.value() : Json(HexOf(Bytes(field.value())));
        if (got != want) {
            differs(field.key() + " is " + got.dump());
        }
    }
    const Json wantStream = alternative.contains("retry")
                                ? alternative["retry"].value("stream", Json())
                                : alternative.value("stream", Json());
    if (wantStream.is_string()) {
        if ((*final)["code"] != 0 || !observed.value("streamed", false)) {
            differs("no stream");
        } else {
            if (observed.value("startCode", -99) != 0 || observed.value("stopCode", -99) != 0) {
                differs("registering the callback returned " + observed["startCode"].dump() +
                        ", removing it " + observed["stopCode"].dump());
            }
            const std::string problem = CheckStream(wantStream.get<std::string>(), *summary);
            if (!problem.empty()) {
                differs("stream: " + problem + " [" + summary->Describe() + "]");
            }
        }
    }
    return why;
}

// One group of rows: its simulator and the workers that play its rows.
class Group {
  public:
    Group(std::string name, std::vector<const Row*> rows, std::string dir)
        : name_(std::move(name)), rows_(std::move(rows)), dir_(std::move(dir)) {}

    // Starts the simulator and forks the workers, which inherit its bus address.
    void Start(const Table& table) {
        const std::string error = sim_.start(table.ScenarioOf(name_));
        ASSERT_EQ(error, "") << name_ << ": " << error;
        // The harness connects to its control interface on first use, at the
        // bus the environment names: use it now, before the next group's
        // simulator takes the environment over.
        try {
            sim_.isConnected(rows_.front()->name);
        } catch (const std::exception&) {
        }
        // Slow rows by their key, side by side; the rest round robin.
        std::map<std::string, std::vector<const Row*>> slow;
        std::vector<std::vector<const Row*>> fast(kFastWorkers);
        std::size_t next = 0;
        for (const Row* row : rows_) {
            if (!row->slow.empty()) {
                slow[row->slow].push_back(row);
            } else {
                fast[next++ % kFastWorkers].push_back(row);
            }
        }
        for (auto& s : slow) {
            Fork(s.second, true);
        }
        for (auto& f : fast) {
            if (!f.empty()) {
                Fork(f, false);
            }
        }
    }

    // Checks every row once its workers have reported, then lets them close
    // their amplifiers and checks that every link ended.
    void Finish() {
        std::map<std::size_t, Json> observed;
        for (Worker& worker : workers_) {
            char byte = 0;
            const bool ready = read(worker.readyFd, &byte, 1) == 1;
            EXPECT_TRUE(ready) << name_ << ": a worker ended before reporting";
            if (ready) {
                const Json reported = Json::parse(std::ifstream(worker.report));
                for (const Json& o : reported) {
                    observed[o["row"].get<std::size_t>()] = o;
                }
            }
        }
        for (const Row* row : rows_) {
            SCOPED_TRACE("row " + row->id + " (" + row->name + ")");
            auto it = observed.find(row->index);
            if (it == observed.end()) {
                ADD_FAILURE() << "not run";
                continue;
            }
            try {
                CheckRow(*row, it->second);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        }
        for (Worker& worker : workers_) {
            char byte = 'g';
            EXPECT_EQ(write(worker.goFd, &byte, 1), 1);
            close(worker.goFd);
            close(worker.readyFd);
            int status = -1;
            const bool ended = bletest::waitFor(
                [&] { return waitpid(worker.pid, &status, WNOHANG) == worker.pid; }, 60s);
            if (!ended) {
                kill(worker.pid, SIGKILL);
                waitpid(worker.pid, &status, 0);
            }
            EXPECT_TRUE(ended) << name_ << ": a worker hung while closing";
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << name_ << ": worker status " << status
                << " (closes that failed, or a crash or leak)";
        }
        for (const Row* row : rows_) {
            if (row->amplifier["name"].is_string()) {
                EXPECT_TRUE(bletest::waitFor([&] { return !sim_.isConnected(row->name); }, 5s))
                    << row->id << " still connected after its worker closed it";
            }
        }
    }

  private:
    void Fork(const std::vector<const Row*>& share, bool sideBySide) {
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        Worker worker;
        worker.report = dir_ + "/" + name_ + std::to_string(workers_.size()) + ".json";
        std::fflush(nullptr);
        worker.pid = fork();
        ASSERT_GE(worker.pid, 0);
        if (worker.pid == 0) {
            close(ready[0]);
            close(go[1]);
            std::exit(RunWorker(share, sideBySide, worker.report, ready[1], go[0]));
        }
        close(ready[1]);
        close(go[0]);
        worker.readyFd = ready[0];
        worker.goFd = go[1];
        workers_.push_back(worker);
    }

    // Compares what the worker saw for `row` with the row's outcomes.
    void CheckRow(const Row& row, const Json& o) {
        std::optional<StreamSummary> summary;
        if (o.value("streamed", false)) {
            const Layout layout = Layout::FromAmplifier(row.amplifier);
            const float level = static_cast<float>(row.amplifier["battery"].value("level", 87));
            // The battery column of a row's first alternative that names one.
            float battery = level;
            for (const Json& a : row.expect) {
                battery = a.contains("battery") ? a["battery"].get<float>() : battery;
            }
            auto counters = sim_.counters(row.name);
            summary = Summarise(layout, battery, ScansOf(o), sim_.sentData(row.name, 0, 1u << 20),
                                counters["data"] + counters["dropped"]);
        }
        std::string why;
        bool matched = false;
        for (const Json& alternative : row.expect) {
            const std::string w = Compare(alternative, o, summary ? &*summary : nullptr);
            matched = matched || w.empty();
            why += (why.empty() ? "" : " | or: ") + w;
        }
        Json shown = o;
        shown.erase("scans");
        if (Observing()) {
            std::printf("%-32s %s%s\n", row.id.c_str(), shown.dump().c_str(),
                        summary ? (" " + summary->Describe()).c_str() : "");
        }
        EXPECT_TRUE(matched) << why << "\nobserved: " << shown.dump();
        // A failed open leaves nothing connected.
        const Json& final = o.contains("retry") ? o["retry"] : o;
        if (final["code"] != 0 && row.amplifier["name"].is_string()) {
            EXPECT_TRUE(bletest::waitFor([&] { return !sim_.isConnected(row.name); }, 5s))
                << "still connected after the failed open";
        }
    }

    std::string name_;
    std::vector<const Row*> rows_;
    std::string dir_;
    bletest::SimHarness sim_;
    std::vector<Worker> workers_;
};

}  // namespace

// All groups at once, each on its own simulator: the slowest rows search for
// 10 s, and the rest should not wait for them.
TEST(FaultMatrix, EveryRowShowsItsOutcome) {
    const Table& table = FaultTable();
    char dir[] = "/tmp/tavoble-faults-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::vector<std::unique_ptr<Group>> groups;
    for (const std::string& name : table.Groups()) {
        groups.push_back(std::make_unique<Group>(name, table.RowsOf(name), dir));
        groups.back()->Start(table);
        if (HasFatalFailure()) {
            return;
        }
    }
    for (auto& group : groups) {
        group->Finish();
    }
    groups.clear();
    std::filesystem::remove_all(dir);
}
