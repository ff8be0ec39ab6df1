// The device chain without a pseudo-terminal: arbitrary bytes in every mode.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/device.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

namespace {

struct Capture : qsim::ByteSink {
  std::string bytes;
  void Put(const char* data, size_t n) override { bytes.append(data, n); }
};

TEST(SimChain, ArbitraryBytesNeverBreakIt) {
  qsim::SimContext ctx;
  Capture out;
  qsim::Reader reader({});
  reader.Attach(std::make_unique<qsim::SdiSensor>(qsim::SensorConfig{}));
  reader.Connect(&out, &ctx);

  qsim::Rng rng(42);
  // mode characters and frame letters come often enough to reach every state
  const std::string common = "[]`|!?\r\nPgWXV@.0123456789ABCDEFIB#";
  for (int round = 0; round < 200; ++round) {
    std::string chunk;
    for (int i = 0; i < 500; ++i) {
      uint64_t r = rng.Next();
      chunk.push_back(r % 3 ? common[(r >> 8) % common.size()] : static_cast<char>(r >> 16));
    }
    // and now and then the pieces that start the loader and connect to it
    static const char* const kPieces[] = {"[|?B!", "]P", "]\r", "`", "[|?post!"};
    chunk.insert(rng.Next() % chunk.size(), kPieces[rng.Next() % 5]);
    reader.Receive(chunk);
    ctx.nowMs += 7;
    reader.Tick();
  }
  // after a pause that drops every unfinished command, the reader is reachable again
  ctx.nowMs += 1000;
  reader.Tick();
  reader.Receive("`");
  reader.Receive("\r");
  out.bytes.clear();
  reader.Receive("get -ver\r");
  EXPECT_EQ(out.bytes, "\rSND 1.25\r>");
}

}  // namespace
