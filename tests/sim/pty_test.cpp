// The reader, the sensor and its loader over a real pseudo-terminal, driven
// the way the updater drives them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "host_port.h"
#include "sim/loader_frame.h"
#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

namespace {

using qsim::PtyRunner;

struct Sim {
  std::unique_ptr<PtyRunner> runner;
  std::unique_ptr<HostPort> port;

  template <class F>
  auto Locked(F f) {
    return runner->WithDevices([&](qsim::Device& head) {
      auto& reader = static_cast<qsim::Reader&>(head);
      return f(reader, *static_cast<qsim::SdiSensor*>(head.Downstream()));
    });
  }
};

Sim Start(qsim::SensorConfig sensor = {}, qsim::ReaderConfig reader = {}, qsim::LineOptions line = {},
          const std::vector<std::string>& silences = {}, double refuseRate = 0) {
  auto head = std::make_unique<qsim::Reader>(reader);
  head->Attach(std::make_unique<qsim::SdiSensor>(sensor));
  Sim s;
  s.runner = std::make_unique<PtyRunner>(std::move(head), line);
  for (const std::string& rule : silences) EXPECT_TRUE(s.runner->Context().faults.AddSilence(rule));
  s.runner->Context().faults.SetRefuseRate(refuseRate, 5);
  std::string error;
  EXPECT_TRUE(s.runner->Start(&error)) << error;
  s.port = std::make_unique<HostPort>(s.runner->PortName());
  EXPECT_TRUE(s.port->Ok());
  return s;
}

std::string Frame(char letter, const std::string& payload) { return qsim::MakeLoaderFrame(letter, payload); }

// Image text words: the byte at the lower address is the word's low byte.
std::string Words(const std::vector<uint8_t>& bytes, size_t from, size_t n) {
  std::string s;
  char w[8];
  for (size_t i = from; i < from + n; i += 2) {
    std::snprintf(w, sizeof w, "%04X", bytes[i] | (bytes[i + 1] << 8));
    s += w;
  }
  return s;
}

// Reader to pass-through, sensor loader started and connected.
void ConnectLoader(HostPort& p) {
  p.Write("[");
  EXPECT_EQ(p.Ask("|?B!", "\r\n"), "0\r\n");
  EXPECT_EQ(p.Ask("]P", "#"), "#\r");
  EXPECT_EQ(p.Ask("\r", "\r"), "?\r");
}

TEST(SimOverPty, ReaderCommandsAndModeSwitching) {
  Sim s = Start();
  HostPort& p = *s.port;
  EXPECT_EQ(p.Ask("get -ver\r", ">"), "\rSND 1.25\r>");
  EXPECT_EQ(p.Ask("get -hver\r", ">"), "\rB\r>");
  EXPECT_EQ(p.Ask("get -batt\r", ">"), "\r87\r>");
  EXPECT_EQ(p.Ask("set -baud 0\r", "OK\r"), "\rOK\r");
  EXPECT_EQ(p.Ask("frobnicate\r", ">"), "\rERROR\r>");

  // relay: a type in character form may be the reader's own ']' and must reach the sensor as text
  p.Write("[");
  EXPECT_EQ(p.Ask("|?X8!", "\r\n"), "0k\r\n");
  EXPECT_EQ(p.Ask("|?X9 ]!", "\r\n"), "0OK\r\n");
  EXPECT_EQ(p.Ask("|?X8!", "\r\n"), "0]\r\n");
  EXPECT_EQ(s.Locked([](qsim::Reader& r, qsim::SdiSensor&) { return r.GetMode(); }), qsim::Reader::Mode::Relay);
  EXPECT_EQ(p.Ask("?I!", "\r\n"), "013QUARNEL ZP9   4060712345\r\n");

  // pass-through with the application running: the carriage return reaches no loader
  p.Write("]");
  EXPECT_EQ(p.Ask("\r", "\r", 600), "");
  // the grave accent brings the command protocol back
  EXPECT_EQ(p.Ask("`get -ver\r", ">"), "\rSND 1.25\r>");
  // SDI-12 text in command mode is a command line, not relayed
  EXPECT_EQ(p.Ask("?I!\r", ">"), "\rERROR\r>");
  EXPECT_TRUE(s.runner->Received().find("|?X9 ]!") != std::string::npos);
}

TEST(SimOverPty, WholeUpdateLeavesTheImageInFlash) {
  Sim s = Start();
  HostPort& p = *s.port;

  // a small image: 600 bytes at 0x8000 and 32 at 0xFE00
  std::vector<uint8_t> image(600);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> high(32, 0x3C);

  p.Write("]");
  EXPECT_EQ(p.Ask("\r", "$", 600), "");  // no loader running yet
  p.Write("`");
  ConnectLoader(p);

  for (uint32_t a = 0x1000; a < 0x10C0; a += 64) {
    char x[8];
    std::snprintf(x, sizeof x, "%04X", a);
    EXPECT_EQ(p.Ask(Frame('X', x), "\r"), "+\r") << x;
  }
  for (uint32_t a = 0x8000; a < 0xF9FF; a += 512) {
    char x[8];
    std::snprintf(x, sizeof x, "%04X", a);
    ASSERT_EQ(p.Ask(Frame('X', x), "\r"), "+\r") << x;
  }
  EXPECT_EQ(p.Ask(Frame('X', "FA00"), "\r"), "-\r");  // the loader's own code

  EXPECT_EQ(p.Ask(Frame('@', "8000"), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('W', Words(image, 0, 256)), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('W', Words(image, 256, 256)), "\r"), "+\r");  // the address advanced by itself
  EXPECT_EQ(p.Ask(Frame('W', Words(image, 512, 88)), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('@', "FE00"), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('W', Words(high, 0, 32)), "\r"), "+\r");
  std::string vectors;
  for (int i = 0; i < 16; ++i) vectors += "8000";
  EXPECT_EQ(p.Ask(Frame('V', vectors), "+"), "+\r");

  // back to relay: the loader is let go and the new application starts
  p.Write("[");
  EXPECT_EQ(p.Ask("|?post!", "\r\n"), "0Code Good\r\n");
  // information memory was erased: address 0, no calibration, no serial number
  EXPECT_EQ(p.Ask("|?X4!", "\r\n"), "0\r\n");
  EXPECT_EQ(p.Ask("|?X#!", "\r\n"), "0\r\n");
  EXPECT_EQ(p.Ask("|?X5 2.5 1.0!", "\r\n"), "0OK\r\n");
  EXPECT_EQ(p.Ask("|?X4!", "\r\n"), "0  2.5 1.0\r\n");

  s.Locked([&](qsim::Reader&, qsim::SdiSensor& sensor) {
    const qsim::Flash& flash = sensor.GetFlash();
    EXPECT_EQ(flash.ErrorCount(), 0u);
    qsim::TiImage expected;
    for (size_t i = 0; i < image.size(); ++i) expected.bytes[0x8000 + i] = image[i];
    for (size_t i = 0; i < high.size(); ++i) expected.bytes[0xFE00 + i] = high[i];
    for (int i = 0; i < 16; ++i) {
      expected.bytes[0xFFE0 + 2 * i] = 0x00;
      expected.bytes[0xFFE1 + 2 * i] = 0x80;
    }
    std::string report;
    EXPECT_EQ(flash.Compare(expected, &report), 0u) << report;
    // the dump reads back to the same flash
    qsim::TiImage dumped;
    ASSERT_TRUE(qsim::ParseTiText(flash.DumpTiText(), dumped, &report)) << report;
    EXPECT_EQ(flash.Compare(dumped, &report), 0u) << report;
  });

  // the host closes the port and opens it again: the devices go on where they were
  p.Close();
  ASSERT_TRUE(PtyRunner::WaitFor([&] { return !s.runner->HostHoldsPort(); }, 5000));
  HostPort again(s.runner->PortName());
  EXPECT_EQ(again.Ask("|?!", "\r\n"), "0\r\n");
  EXPECT_EQ(s.runner->HostOpens(), 2);
}

TEST(SimOverPty, LoaderRefusesBadFramesAndAnUnerasedWriteSpoilsTheSelfCheck) {
  Sim s = Start();
  HostPort& p = *s.port;
  ConnectLoader(p);
  EXPECT_EQ(p.Ask("@8000.0137\r", "\r"), "-\r");                 // checksum off by one
  EXPECT_EQ(p.Ask(Frame('W', "ABC"), "\r"), "-\r");               // not whole words
  EXPECT_EQ(p.Ask(Frame('Q', ""), "\r"), "-\r");                  // no such command
  EXPECT_EQ(p.Ask(Frame('g', ""), "\r"), "+21+\r");
  // write over the old firmware without erasing, then finish the image
  EXPECT_EQ(p.Ask(Frame('@', "8000"), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('W', "0000123456789ABC"), "\r"), "+\r");  // the loader does not verify
  std::string vectors;
  for (int i = 0; i < 16; ++i) vectors += "8000";
  EXPECT_EQ(p.Ask(Frame('V', vectors), "+"), "+\r");
  p.Write("[");
  EXPECT_EQ(p.Ask("|?post!", "\r\n"), "0Code Corrupt\r\n");
  EXPECT_GT(s.Locked([](qsim::Reader&, qsim::SdiSensor& sensor) { return sensor.GetFlash().ErrorCount(); }), 0u);
}

TEST(SimOverPty, LoaderLeftWithoutVectorsStaysConnectedAndAWaitingOneGivesUp) {
  {
    Sim s = Start();
    HostPort& p = *s.port;
    ConnectLoader(p);
    EXPECT_EQ(p.Ask(Frame('X', "8000"), "\r"), "+\r");
    p.Write("[");  // interrupted update: no vectors
    EXPECT_EQ(p.Ask("|?!", "\r\n", 700), "");  // the loader has the sensor; the bytes are garbage to it
    EXPECT_EQ(p.Ask("]\r", "\r"), "?\r");
  }
  {
    qsim::SensorConfig c;
    c.start = qsim::SensorConfig::Start::LoaderWaiting;
    Sim s = Start(c);
    HostPort& p = *s.port;
    EXPECT_EQ(p.Ask("]\r", "\r"), "$\r");
    p.Write("`");
    EXPECT_EQ(p.Ask("[|?!", "\r\n"), "0\r\n");  // the old application answers again
  }
  {
    qsim::SensorConfig c;
    c.hasLoader = false;
    Sim s = Start(c);
    EXPECT_EQ(s.port->Ask("[|?B!", "\r\n"), "0No BSL\r\n");
  }
}

TEST(SimOverPty, SilenceRefusalEchoAndLowBattery) {
  qsim::ReaderConfig r;
  r.echo = true;
  r.battery = 9;
  r.version = "1.22";
  r.hardwareRevision = "A";
  Sim s = Start({}, r, {}, {"bsl.W:1:1", "cmd.hver"}, 0);
  HostPort& p = *s.port;
  EXPECT_EQ(p.Ask("get -ver\r", ">"), "get -ver\r\rSND 1.22\r>");
  EXPECT_EQ(p.Ask("get -batt\r", ">"), "get -batt\r\r9\r>");
  EXPECT_EQ(p.Ask("get -hver\r", ">", 600), "get -hver\r");  // echoed, never answered
  ConnectLoader(p);
  EXPECT_EQ(p.Ask(Frame('X', "8000"), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('@', "8000"), "\r"), "+\r");
  EXPECT_EQ(p.Ask(Frame('W', "1234"), "\r", 600), "");  // the first W goes unanswered
  EXPECT_EQ(p.Ask(Frame('W', "1234"), "\r"), "+\r");

  Sim refusing = Start({}, {}, {}, {}, 1.0);
  ConnectLoader(*refusing.port);
  EXPECT_EQ(refusing.port->Ask(Frame('@', "8000"), "\r"), "-\r");
}

TEST(SimOverPty, PulledCableAndReaderPluggedInAgain) {
  qsim::LineOptions line;
  line.pullAfter = 3;  // '[', '|' and '?' of the first command get through
  Sim s = Start({}, {}, line);
  HostPort& p = *s.port;
  EXPECT_EQ(p.Ask("[|?B!", "\r\n", 600), "");
  EXPECT_TRUE(s.runner->CablePulled());
  EXPECT_EQ(s.runner->Received(), "[|?");
  EXPECT_EQ(p.Ask("get -ver\r", ">", 300), "");

  s.runner->PlugIn();
  // the reader is back in command mode; the sensor kept what it had
  EXPECT_EQ(p.Ask("get -ver\r", ">"), "\rSND 1.25\r>");
  ConnectLoader(p);
  s.runner->PullCable();
  s.runner->PlugIn();
  EXPECT_EQ(p.Ask("get -ver\r", ">"), "\rSND 1.25\r>");
  EXPECT_EQ(p.Ask("]\r", "\r"), "?\r");  // the loader is still connected
}

TEST(SimOverPty, PacingAtNineThousandSixHundredBaud) {
  qsim::LineOptions line;
  line.baud = 9600;
  Sim s = Start({}, {}, line);
  HostPort& p = *s.port;
  // 206 bytes at about 1 ms a byte take at least 200 ms
  std::string cmd = "get -" + std::string(200, 'x') + "\r";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p.Ask(cmd, ">"), "\rUnsupported\r>");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 200);  // a lower bound only: a loaded machine is slower, never faster
}

}  // namespace
