// quarbsl-sim: runs simulated devices on a pseudo-terminal until killed.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/flash.h"
#include "sim/loader.h"
#include "sim/pty_runner.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

struct ToolOption {
  const char* name;
  const char* arg;
  const char* help;
};

const ToolOption kToolOptions[] = {
    {"link", "PATH", "make PATH a symlink to the slave port (removed on exit)"},
    {"chain", "KINDS", "devices from the wire inwards, comma-separated (default sendra,sensor)"},
    {"baud", "N", "pace every byte as on a line of N baud (default: no pacing)"},
    {"pull-after", "N", "fault: pull the cable after N received bytes"},
    {"drop-rate", "R", "fault: lose received bytes at rate R (0..1)"},
    {"corrupt-rate", "R", "fault: corrupt sent bytes at rate R (0..1)"},
    {"refuse-rate", "R", "fault: the loader refuses framed commands at rate R (0..1)"},
    {"seed", "N", "seed of the drop, corruption and refusal patterns (default 1)"},
    {"silent", "STEP[:FROM[:COUNT]]", "fault: no answer at a step (repeatable; steps below)"},
    {"dump", "FILE", "write the flash as TI-Text to FILE when the host lets go and on exit"},
    {"expect-image", "FILE", "compare the flash with this TI-Text image when the host lets go and on exit"},
    {"verbose", "", "print the devices' journal as it happens"},
    {"help", "", "this text"},
};

void Help() {
  std::printf(
      "usage: quarbsl-sim [--link PATH] [options...]\n"
      "Runs simulated devices on a pseudo-terminal; prints the slave port name,\n"
      "then runs until SIGINT or SIGTERM.\n\noptions:\n");
  for (const ToolOption& o : kToolOptions)
    std::printf("  --%-28s %s\n", (std::string(o.name) + (o.arg[0] ? std::string(" ") + o.arg : "")).c_str(),
                o.help);
  for (const qsim::KindInfo& k : qsim::KindRegistry::Instance().All()) {
    std::printf("\ndevice kind '%s': %s\n", k.name.c_str(), k.summary.c_str());
    for (const qsim::OptionInfo& o : k.options)
      std::printf("  --%-28s %s\n", (o.name + (o.arg.empty() ? "" : " " + o.arg)).c_str(), o.help.c_str());
  }
  std::printf("\nsilence steps:\n  %s\n", qsim::FaultPlan::StepNames());
}

// Looks up whether an option takes an argument; false when unknown.
bool KnownOption(const std::string& name, bool& takesArg) {
  for (const ToolOption& o : kToolOptions)
    if (name == o.name) {
      takesArg = o.arg[0] != '\0';
      return true;
    }
  for (const qsim::KindInfo& k : qsim::KindRegistry::Instance().All())
    for (const qsim::OptionInfo& o : k.options)
      if (name == o.name) {
        takesArg = !o.arg.empty();
        return true;
      }
  return false;
}

qsim::Loader* FindLoader(qsim::Device& head) {
  qsim::Loader* found = nullptr;
  for (qsim::Device* d = &head; d; d = d->Downstream())
    if (auto* l = dynamic_cast<qsim::Loader*>(d)) found = l;
  return found;
}

void Report(qsim::Device& head, const std::string& imagePath, const qsim::TiImage* image,
            const std::string& dumpPath) {
  qsim::Loader* loader = FindLoader(head);
  if (!loader) return;
  const qsim::Flash& flash = loader->GetFlash();
  if (!dumpPath.empty()) {
    std::ofstream out(dumpPath, std::ios::binary | std::ios::trunc);
    out << flash.DumpTiText();
  }
  if (image) {
    std::string report;
    if (flash.Compare(*image, &report) == 0)
      std::printf("sim: flash equals image %s\n", imagePath.c_str());
    else
      std::printf("sim: flash differs from image %s: %s\n", imagePath.c_str(), report.c_str());
  }
  for (const std::string& e : flash.Errors()) std::printf("sim: flash error: %s\n", e.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  qsim::Options opts;
  std::vector<std::string> silences;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) {
      std::fprintf(stderr, "quarbsl-sim: unexpected argument '%s' (try --help)\n", a.c_str());
      return 2;
    }
    std::string name = a.substr(2), value;
    size_t eq = name.find('=');
    bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    bool takesArg = false;
    if (!KnownOption(name, takesArg)) {
      std::fprintf(stderr, "quarbsl-sim: unknown option --%s (try --help)\n", name.c_str());
      return 2;
    }
    if (takesArg && !inlineValue) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quarbsl-sim: --%s needs a value\n", name.c_str());
        return 2;
      }
      value = argv[++i];
    }
    if (name == "silent") silences.push_back(value);
    else opts.Set(name, value);
  }
  if (opts.Has("help")) {
    Help();
    return 0;
  }

  // build the chain
  std::string chain = opts.Get("chain", "sendra,sensor");
  std::unique_ptr<qsim::Device> head;
  qsim::Device* tail = nullptr;
  size_t pos = 0;
  while (pos <= chain.size()) {
    size_t comma = chain.find(',', pos);
    std::string kind = chain.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    pos = comma == std::string::npos ? chain.size() + 1 : comma + 1;
    const qsim::KindInfo* info = qsim::KindRegistry::Instance().Find(kind);
    if (!info) {
      std::fprintf(stderr, "quarbsl-sim: unknown device kind '%s' (try --help)\n", kind.c_str());
      return 2;
    }
    std::string error;
    std::unique_ptr<qsim::Device> d = info->make(opts, error);
    if (!d) {
      std::fprintf(stderr, "quarbsl-sim: %s\n", error.c_str());
      return 2;
    }
    if (!head) {
      head = std::move(d);
      tail = head.get();
    } else {
      tail = tail->Attach(std::move(d));
    }
    while (tail->Downstream()) tail = tail->Downstream();
  }

  qsim::LineOptions line;
  line.link = opts.Get("link");
  line.baud = opts.GetInt("baud", 0);
  line.pullAfter = opts.GetInt("pull-after", -1);
  line.dropRate = opts.GetReal("drop-rate", 0);
  line.corruptRate = opts.GetReal("corrupt-rate", 0);
  line.seed = static_cast<uint64_t>(opts.GetInt("seed", 1));

  std::string imagePath = opts.Get("expect-image");
  std::unique_ptr<qsim::TiImage> image;
  if (!imagePath.empty()) {
    image = std::make_unique<qsim::TiImage>();
    std::string error;
    if (!qsim::LoadTiTextFile(imagePath, *image, &error)) {
      std::fprintf(stderr, "quarbsl-sim: --expect-image %s: %s\n", imagePath.c_str(), error.c_str());
      return 2;
    }
  }
  std::string dumpPath = opts.Get("dump");

  qsim::PtyRunner runner(std::move(head), line);
  qsim::SimContext& ctx = runner.Context();
  for (const std::string& s : silences)
    if (!ctx.faults.AddSilence(s)) {
      std::fprintf(stderr, "quarbsl-sim: bad --silent rule '%s'\n", s.c_str());
      return 2;
    }
  ctx.faults.SetRefuseRate(opts.GetReal("refuse-rate", 0), line.seed);
  if (opts.Has("verbose"))
    ctx.journal.SetEcho([](const std::string& l) {
      std::printf("sim: %s\n", l.c_str());
      std::fflush(stdout);
    });
  runner.OnHostClosed([&](qsim::Device& d) { Report(d, imagePath, image.get(), dumpPath); });

  std::string error;
  if (!runner.Start(&error)) {
    std::fprintf(stderr, "quarbsl-sim: %s\n", error.c_str());
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("%s\n", runner.PortName().c_str());
  std::fflush(stdout);
  while (!gStop) {
    struct timespec ts = {0, 50 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  runner.Stop();
  Report(runner.Head(), imagePath, image.get(), dumpPath);
  return 0;
}
