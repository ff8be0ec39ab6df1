#include "sim/loader_frame.h"

#include <gtest/gtest.h>

namespace {

struct FrameCase {
  char letter;
  const char* payload;
  const char* wire;
};

TEST(LoaderFrame, ChecksumOfTheKnownFrames) {
  const FrameCase cases[] = {
      {'g', "", "g.0095\r"},
      {'@', "08000", "@08000.0166\r"},
      {'@', "8000", "@8000.0136\r"},
      {'X', "1000", "X1000.0147\r"},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.wire);
    EXPECT_EQ(qsim::MakeLoaderFrame(c.letter, c.payload), c.wire);
    std::string line(c.wire);
    line.pop_back();
    qsim::LoaderFrame f;
    ASSERT_EQ(qsim::ParseLoaderFrame(line, f), qsim::FrameError::None);
    EXPECT_EQ(f.letter, c.letter);
    EXPECT_EQ(f.payload, c.payload);
  }
}

TEST(LoaderFrame, SumWrapsAtFFFFAndCountsBytesSigned) {
  // 46 + 'W' + 1000 'F' = 46 + 87 + 70000 = 70133 -> 70133 - 65535
  EXPECT_EQ(qsim::LoaderChecksum('W', std::string(1000, 'F')), 70133u - 65535u);
  // a byte above 127 counts negative
  EXPECT_EQ(qsim::LoaderChecksum('W', std::string(1, static_cast<char>(0xFF))), 46u + 87u - 1u);
}

TEST(LoaderFrame, RejectsMalformedFrames) {
  struct Bad {
    const char* line;
    qsim::FrameError error;
  } cases[] = {
      {"", qsim::FrameError::Empty},
      {"g0095", qsim::FrameError::NoSeparator},
      {"g.095", qsim::FrameError::NoSeparator},
      {"g.0096", qsim::FrameError::BadChecksum},
      {"g.00G5", qsim::FrameError::BadChecksum},
      {"g.0095 ", qsim::FrameError::NoSeparator},
      {"@8000", qsim::FrameError::NoSeparator},
  };
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.line);
    qsim::LoaderFrame f;
    EXPECT_EQ(qsim::ParseLoaderFrame(b.line, f), b.error);
  }
  std::string lower = qsim::MakeLoaderFrame('W', "abcd");
  lower.pop_back();
  qsim::LoaderFrame f;
  EXPECT_EQ(qsim::ParseLoaderFrame(lower, f), qsim::FrameError::BadPayload);
}

}  // namespace
