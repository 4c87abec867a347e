// The factory link end to end: kelvo_pgtool_gang with --cfx programs
// simulated boards and publishes to a private RabbitMQ node, which
// scripts/cfx-listen reads back. One node for all cases, started here;
// a node that cannot start fails every case with the reason.
#include "KelvoPG_core.h"
#include "broker.h"
#include "kelvo_test.h"
#include "station_run.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;

constexpr int kRunTimeoutMs = 180000;

kt::Broker *broker = nullptr;
std::string brokerError;

class BrokerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        broker = new kt::Broker;
        if (!broker->start(&brokerError)) {
            brokerError = "the test broker did not start: " + brokerError;
        }
    }
    void TearDown() override {
        delete broker;
        broker = nullptr;
    }
};

const ::testing::Environment *const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new BrokerEnvironment);

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            out.push_back(line);
        }
    }
    return out;
}

using Faults = std::vector<std::vector<std::string>>;

// A station directory with record.dat, an image and one simulator per
// entry of faults (empty: a good board).
class Station {
  public:
    explicit Station(const Faults &faults) {
        kt::writeFile(dir_.file("image.bin"), kt::randomBytes(8192, 7));
        DeviceSetting rec;
        default_device_setting(&rec);
        std::strcpy(rec.image, "image.bin");
        rec.baudrate = 1000000;
        kt::writeFile(dir_.file("record.dat"),
                      std::string(reinterpret_cast<char *>(&rec), sizeof rec));
        for (size_t i = 0; i < faults.size(); ++i) {
            std::string home = dir_.file("sim" + std::to_string(i + 1));
            ::mkdir(home.c_str(), 0755);
            sims_.push_back(std::make_unique<kt::ChipSim>(home, faults[i]));
        }
    }
    kt::RunResult gang(const std::vector<std::string> &options) {
        std::vector<std::string> argv{KELVO_GANG_PATH, "--cfx-handle", "test.station"};
        argv.insert(argv.end(), options.begin(), options.end());
        for (auto &sim : sims_) {
            argv.push_back(sim->tty());
        }
        return kt::run(argv, dir_.path(), kRunTimeoutMs);
    }
    // count messages from the queue, as JSON; fails the test on fewer.
    std::vector<json> listen(const std::string &url, size_t count) {
        kt::RunResult r =
            kt::run({KELVO_CFX_LISTEN, "--count", std::to_string(count), "--timeout", "20", url},
                    dir_.path(), 60000);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::vector<json> messages;
        for (const std::string &line : lines(r.out)) {
            messages.push_back(json::parse(line));
        }
        EXPECT_EQ(messages.size(), count) << r.out;
        return messages;
    }
    std::string path(const std::string &name) const { return dir_.file(name); }
    const std::string &dir() const { return dir_.path(); }
    const std::string &tty(size_t i) const { return sims_[i]->tty(); }

  private:
    kt::TempDir dir_;
    std::vector<std::unique_ptr<kt::ChipSim>> sims_;
};

class FactoryLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(brokerError.empty()) << brokerError;
        if (!broker->running()) {
            ASSERT_TRUE(broker->start(&brokerError)) << brokerError;
        }
    }
};

void expectEnvelope(const json &m) {
    static const std::regex uuid(
        "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    static const std::regex stamp(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d");
    EXPECT_EQ(m["Version"], "1.7");
    EXPECT_EQ(m["Source"], "test.station");
    EXPECT_TRUE(m["Target"].is_null());
    EXPECT_TRUE(m["RequestID"].is_null());
    EXPECT_TRUE(std::regex_match(m["UniqueID"].get<std::string>(), uuid)) << m;
    EXPECT_TRUE(std::regex_match(m["TimeStamp"].get<std::string>(), stamp)) << m;
    EXPECT_TRUE(m["MessageBody"].is_object());
}

using gt::sha256Hex;

std::set<std::string> uniqueIds(const std::vector<json> &messages) {
    std::set<std::string> ids;
    for (const json &m : messages) {
        ids.insert(m["UniqueID"].get<std::string>());
    }
    return ids;
}

TEST_F(FactoryLink, EveryBoardStartsIsTestedAndCompletesUnderOneTransaction) {
    Station station(Faults{{}, {}, {"--no-ping"}});
    std::string url = broker->url("three-boards");
    // What an earlier run left in the spool and is no message goes aside.
    ::mkdir(station.path("cfx-spool").c_str(), 0755);
    std::string junk = "00000000000000000001.json";
    kt::writeFile(station.path("cfx-spool/" + junk), "{\"half\": ");
    kt::RunResult run = station.gang({"--cfx", url});
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("factory link: 10 messages delivered"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("message moved aside, not sent again"), std::string::npos) << run.err;
    EXPECT_EQ(kt::readFile(station.path("cfx-spool/rejected/" + junk)), "{\"half\": ");

    std::vector<json> messages = station.listen(url, 10);
    ASSERT_EQ(messages.size(), 10u);
    EXPECT_EQ(uniqueIds(messages).size(), 10u);
    EXPECT_EQ(messages[0]["MessageName"], "CFX.EndpointConnected");
    EXPECT_EQ(messages[0]["MessageBody"]["CFXHandle"], "test.station");
    const std::string sha = sha256Hex(kt::readFile(station.path("image.bin")));

    struct Expected {
        int lane;
        const char *overall, *completed;
    };
    for (const Expected &want :
         {Expected{1, "Passed", "Completed"}, Expected{2, "Passed", "Completed"},
          Expected{3, "Failed", "Failed"}}) {
        SCOPED_TRACE("lane " + std::to_string(want.lane));
        std::vector<json> mine;
        std::string transaction;
        for (const json &m : messages) {
            expectEnvelope(m);
            if (m["MessageName"] == "CFX.Production.WorkStarted" &&
                m["MessageBody"]["Lane"] == want.lane) {
                transaction = m["MessageBody"]["TransactionID"];
            }
            if (!transaction.empty() &&
                m["MessageBody"].value("TransactionID", "") == transaction) {
                mine.push_back(m);
            }
        }
        ASSERT_EQ(mine.size(), 3u);
        EXPECT_EQ(mine[0]["MessageBody"]["Units"][0]["PositionNumber"], want.lane);
        EXPECT_EQ(mine[1]["MessageName"], "CFX.Production.TestAndInspection.UnitsTested");
        const json &tested = mine[1]["MessageBody"]["TestedUnits"][0];
        EXPECT_EQ(tested["OverallResult"], want.overall);
        EXPECT_EQ(tested["Tests"][0]["TestName"], "FLASH_PROGRAM");
        std::string comments = tested["Tests"][0]["Comments"];
        EXPECT_NE(comments.find(sha), std::string::npos) << comments;
        EXPECT_EQ(mine[2]["MessageName"], "CFX.Production.WorkCompleted");
        EXPECT_EQ(mine[2]["MessageBody"]["Result"], want.completed);
        if (want.lane == 3) {
            EXPECT_NE(comments.find("result=181"), std::string::npos) << comments;
            EXPECT_EQ(tested["Tests"][0]["SymptomsFound"][0]["Description"],
                      "device ping not received");
        }
    }
}

TEST_F(FactoryLink, MessagesWaitInTheSpoolWhileTheBrokerIsAwayAndGoFirstWhenItIsBack) {
    Station station(Faults(1)); // one good board
    std::string url = broker->url("away-and-back");
    broker->stop();
    kt::RunResult away = station.gang({"--cfx", url});
    EXPECT_EQ(away.exit_code, 0) << away.out << away.err; // the board says so
    EXPECT_NE(away.out.find("factory link down: Connection refused"), std::string::npos)
        << away.out;
    EXPECT_NE(away.out.find("4 waiting in cfx-spool for the next run"), std::string::npos)
        << away.out;

    std::string error;
    ASSERT_TRUE(broker->start(&error)) << error;
    kt::RunResult back = station.gang({"--cfx", url});
    EXPECT_EQ(back.exit_code, 0) << back.out << back.err;
    EXPECT_NE(back.out.find("factory link: 8 messages delivered"), std::string::npos) << back.out;

    std::vector<json> messages = station.listen(url, 8);
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(uniqueIds(messages).size(), 8u);
    // The first run's four, in their order, then the second run's.
    const char *names[] = {"CFX.EndpointConnected", "CFX.Production.WorkStarted",
                           "CFX.Production.TestAndInspection.UnitsTested",
                           "CFX.Production.WorkCompleted"};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(messages[i]["MessageName"], names[i % 4]) << i;
    }
    EXPECT_LT(messages[3]["TimeStamp"].get<std::string>(),
              messages[4]["TimeStamp"].get<std::string>());
}

TEST_F(FactoryLink, AWrongPasswordShowsTheLinkDownAndLeavesProgrammingAlone) {
    Station station(Faults(1)); // one good board
    kt::RunResult run = station.gang({"--cfx", broker->url("wrong-password", "not-the-password")});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("factory link down: Authentication failed"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("1 of 1 boards programmed"), std::string::npos) << run.out;
}

// The password off the command line: from a private file, or from the
// environment.
TEST_F(FactoryLink, ThePasswordFromAPrivateFileOrTheEnvironmentLogsIn) {
    Station station(Faults(1)); // one good board
    std::string listenUrl = broker->url("password-elsewhere");
    std::string url = listenUrl;
    url.replace(url.find(":guest@"), 7, "@"); // amqp://guest@...
    kt::writeFile(station.path("pw"), "guest\n");
    ASSERT_EQ(::chmod(station.path("pw").c_str(), 0600), 0);
    kt::RunResult fromFile = station.gang({"--cfx", url, "--cfx-password-file", "pw"});
    EXPECT_EQ(fromFile.exit_code, 0) << fromFile.out << fromFile.err;
    EXPECT_NE(fromFile.out.find("factory link: 4 messages delivered to " + url), std::string::npos)
        << fromFile.out;
    ::setenv("KELVO_CFX_PASSWORD", "guest", 1);
    kt::RunResult fromEnvironment = station.gang({"--cfx", url});
    ::unsetenv("KELVO_CFX_PASSWORD");
    EXPECT_EQ(fromEnvironment.exit_code, 0) << fromEnvironment.out << fromEnvironment.err;
    EXPECT_NE(fromEnvironment.out.find("factory link: 4 messages delivered"), std::string::npos)
        << fromEnvironment.out;
    EXPECT_EQ(station.listen(listenUrl, 8).size(), 8u);
}

} // namespace

namespace {

TEST_F(FactoryLink, AStationLosesNothingWhenTheBrokerDiesAndComesBack) {
    // One fixture whose simulated operator puts in three boards, one after
    // the other.
    Station station(Faults{{"--boards", "3", "--board-interval", "1"}});
    std::string url = broker->url("broker-dies");
    gt::StationRun watch(station.dir(),
                         {"--cfx-handle", "test.station", "--cfx", url, "s1=" + station.tty(0)},
                         "watch.out");
    ASSERT_TRUE(watch.saw("board 1 PASS", 90)) << watch.output();
    broker->kill();
    ASSERT_TRUE(watch.saw("factory link down", 90)) << watch.output();
    ASSERT_TRUE(watch.saw("board 2 PASS", 90)) << watch.output();
    std::string error;
    ASSERT_TRUE(broker->start(&error)) << error;
    ASSERT_TRUE(watch.saw("board 3 PASS", 90)) << watch.output();
    ASSERT_TRUE(watch.sawTimes("link up", 2, 90)) << watch.output(); // up again
    watch.key('q');
    EXPECT_EQ(watch.exitStatus(), 0) << watch.output();
    EXPECT_EQ(watch.output().find("waiting in"), std::string::npos) << watch.output();

    // At least once: a message whose acceptance died with the broker may
    // come twice, under the same UniqueID.
    kt::RunResult listened =
        kt::run({KELVO_CFX_LISTEN, "--timeout", "5", url}, station.dir(), 60000);
    std::map<std::string, json> unique;
    for (const std::string &line : lines(listened.out)) {
        json m = json::parse(line);
        unique.emplace(m["UniqueID"].get<std::string>(), m);
    }
    std::map<std::string, std::vector<std::string>> byTransaction;
    size_t connected = 0;
    for (const auto &entry : unique) {
        const json &m = entry.second;
        if (m["MessageName"] == "CFX.EndpointConnected") {
            ++connected;
        } else if (m["MessageBody"].contains("TransactionID")) {
            byTransaction[m["MessageBody"]["TransactionID"]].push_back(m["MessageName"]);
        }
    }
    EXPECT_EQ(connected, 1u) << listened.out;
    ASSERT_EQ(byTransaction.size(), 3u) << listened.out;
    for (auto &transaction : byTransaction) {
        std::sort(transaction.second.begin(), transaction.second.end());
        EXPECT_EQ(transaction.second,
                  (std::vector<std::string>{"CFX.Production.TestAndInspection.UnitsTested",
                                            "CFX.Production.WorkCompleted",
                                            "CFX.Production.WorkStarted"}))
            << transaction.first;
    }
}

// The node of a process that ended without stopping it stops by itself.
TEST(PrivateBroker, StopsOnceTheProcessThatStartedItHasEnded) {
    kt::TempDir dir;
    kt::RunResult r = kt::run({"/bin/bash", "-c", "CFX_BROKER_OWNER=$$ exec \"$0\" start \"$1\"",
                               KELVO_CFX_BROKER, dir.path()},
                              dir.path(), 150000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(gt::waitFor(
        [&] {
            return !kt::fileExists(dir.file("server.pid")) &&
                   !kt::fileExists(dir.file("epmd.pid")) &&
                   !kt::fileExists(dir.file("watcher.pid"));
        },
        std::chrono::seconds(90)));
    kt::run({KELVO_CFX_BROKER, "stop", dir.path()}, dir.path(), 150000);
}

} // namespace
