// The control language: parsing, replies and effects.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

class SimControl : public SimFixture {
 protected:
  std::string run(std::string_view line, bool expectOk = true) {
    std::string reply;
    EXPECT_EQ(sim->control(line, &reply), expectOk) << line << " -> " << reply;
    EXPECT_EQ(reply.substr(0, expectOk ? 2 : 3), expectOk ? "OK" : "ERR") << line << " -> " << reply;
    return reply;
  }
};

TEST_F(SimControl, MalformedLinesAreRefusedWithAReason) {
  const char* bad[] = {"bogus",           "set kv",          "set kv eighty",   "set nothing 1", "get",
                       "state x",         "state 1000",      "expose 0",        "expose 1 2",    "fluoro maybe",
                       "error 1000",      "warning",         "send",            "raw zz",        "raw",
                       "fault gremlins on", "fault silence maybe", "fault slow -5", "fault split on x",
                       "fault drop twice", "nak sometimes",   "echo-timeout",    "strict perhaps", "bag get 99",
                       "bag put 8 01 02", "bag fetch 6",     "log x",           "wait x"};
  for (const char* line : bad) run(line, false);
  EXPECT_EQ(run("set nothing 1", false), "ERR unknown value nothing");
  EXPECT_EQ(run("bogus", false), "ERR unknown command bogus (try help)");
  // Nothing of that reached the line.
  EXPECT_TRUE(lib->staysQuiet());
}

TEST_F(SimControl, ValuesStatesAndSettings) {
  EXPECT_EQ(run(""), "OK");
  EXPECT_EQ(run("# a comment"), "OK");
  EXPECT_EQ(run("help").substr(0, 12), "OK commands:");
  run("set kv 80");
  EXPECT_EQ(run("get KV"), "OK 80");
  run("SET Heat 42");
  EXPECT_EQ(sim->value("HE"), 42);
  EXPECT_EQ(run("get mas"), "OK 100");
  run("state 12");
  EXPECT_EQ(sim->state(), 12);
  EXPECT_EQ(ask("ST"), "ST012");
  EXPECT_EQ(ask("HE?"), "HE042");

  run("fault slow 50");
  EXPECT_EQ(sim->faults().slow, milliseconds(50));
  run("fault slow off");
  EXPECT_EQ(sim->faults().slow, milliseconds(0));
  run("fault split on 7");
  EXPECT_TRUE(sim->faults().split);
  EXPECT_EQ(sim->faults().splitGap, milliseconds(7));
  run("fault drop once");
  EXPECT_EQ(sim->faults().drop, DropMode::Once);
  run("fault nak all");
  EXPECT_EQ(sim->faults().nak, NakMode::All);
  run("nak once");
  EXPECT_EQ(sim->faults().nak, NakMode::Once);
  run("fault garbage on");
  run("fault bad-checksum on");
  run("fault silence on");
  FaultSettings f = sim->faults();
  EXPECT_TRUE(f.garbage && f.badChecksum && f.silence);
  EXPECT_EQ(run("faults"),
            "OK silence=on bad-checksum=on garbage=on slow=0 split=on split-gap=7 drop=once nak=once line=up");
  run("fault clear");
  f = sim->faults();
  EXPECT_FALSE(f.garbage || f.badChecksum || f.silence || f.split);
  EXPECT_EQ(f.drop, DropMode::Off);
  EXPECT_EQ(f.nak, NakMode::Off);

  run("refuse-technique on");
  EXPECT_EQ(ask("SA WS1 FO1 ET2 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100"), "EL064");

  EXPECT_FALSE(sim->quitRequested());
  EXPECT_EQ(run("quit"), "OK bye");
  EXPECT_TRUE(sim->quitRequested());
}

TEST_F(SimControl, MessagesErrorsAndRawBytesGoOnTheWire) {
  run("send KV080");
  EXPECT_EQ(lib->nextMessage(), "KV080");
  run("send MC00100 FC00200");
  EXPECT_EQ(lib->nextMessage(), "MC00100 FC00200");
  run("error 220");
  EXPECT_EQ(lib->nextMessage(), "ER220");
  run("warning 7");
  EXPECT_EQ(lib->nextMessage(), "EL007");
  EXPECT_EQ(run("raw 06 15"), "OK 2 bytes");
  auto u = lib->next();
  ASSERT_TRUE(u);
  EXPECT_EQ(u->kind, GenUnit::Kind::Ack);
  u = lib->next();
  ASSERT_TRUE(u);
  EXPECT_EQ(u->kind, GenUnit::Kind::Nak);
}

TEST_F(SimControl, ExposureAndItsHandshakeReport) {
  run("echo-timeout 20");
  run("strict off");
  EXPECT_EQ(run("expose 30"), "OK expose 30 ms");
  std::string reply = run("wait 5000");
  EXPECT_EQ(reply.substr(0, 22), "OK expose completed PR") << reply;
  EXPECT_NE(reply.find("PR1=no-echo"), std::string::npos) << reply;
  EXPECT_NE(reply.find("PR0=no-echo"), std::string::npos) << reply;
  EXPECT_EQ(run("handshake"), reply);
  for (const char* m : {"PR1", "PR2", "XR1", "XR0", "AT00300 AP00030", "PR0"}) EXPECT_EQ(lib->nextMessage(), m);

  run("he-period 20");
  run("echo-timeout 1000");
  run("fluoro on");
  EXPECT_EQ(lib->nextMessage(), "FLP1");
  run("fluoro on", false);  // already running
}

TEST_F(SimControl, DataBagsLogAndStatistics) {
  std::string record = run("bag get 6 1");
  EXPECT_EQ(record.size(), 3u + 26u * 3u - 1u);  // "OK " and 26 bytes as "XX "
  EXPECT_EQ(record.substr(0, 8), "OK 01 01");

  run("bag put 8 02 04 07 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(*sim->bagRecord(8, {2})), "02 04 07 00 00 00 00 00 00 00");
  lib->sendBag(8, {0x01, 0x02});
  auto u = lib->nextReal();
  ASSERT_TRUE(u);
  EXPECT_EQ(hex(u->data), "02 04 07 00 00 00 00 00 00 00");

  lib->sendCommand("KV?");
  EXPECT_EQ(lib->nextMessage(), "KV075");
  std::string log = run("log 1");
  EXPECT_NE(log.find("KV? [4B 56 3F 03 E3] answered"), std::string::npos) << log;
  std::string stats = run("stats");
  EXPECT_NE(stats.find("received=2 commands=1 bags=1"), std::string::npos) << stats;
  run("clear");
  EXPECT_EQ(run("log"), "OK 0 units");
}

TEST_F(SimControl, DisconnectAndReconnectReportTheNewLine) {
  run("fault disconnect");
  EXPECT_TRUE(lib->waitHangUp());
  EXPECT_NE(run("faults").find("line=down"), std::string::npos);
  std::string reply = run("reconnect");
  ASSERT_EQ(reply.substr(0, 7), "OK PTY ");
  lib = std::make_unique<LibrarySide>(reply.substr(7));
  ASSERT_TRUE(lib->isOpen());
  EXPECT_EQ(ask("KV?"), "KV075");
}

}  // namespace
}  // namespace kestro::sim::test
