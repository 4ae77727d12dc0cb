// A running simulator with the library's end of its pty opened by the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kestro_sim/simulator.h"
#include "library_side.h"

namespace kestro::sim::test {

class SimFixture : public ::testing::Test {
 protected:
  virtual SimulatorOptions simOptions() { return {}; }

  void SetUp() override {
    sim = std::make_unique<Simulator>(simOptions());
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
    lib = std::make_unique<LibrarySide>(sim->portPath());
    ASSERT_TRUE(lib->isOpen()) << sim->portPath();
  }

  void TearDown() override {
    lib.reset();
    if (sim) sim->stop();
  }

  // Sends one command and returns the text of the message that answers it.
  std::string ask(std::string_view command) {
    lib->sendCommand(command);
    return lib->nextMessage();
  }

  std::unique_ptr<Simulator> sim;
  std::unique_ptr<LibrarySide> lib;
};

}  // namespace kestro::sim::test
