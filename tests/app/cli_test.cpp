// The command-line front end: its arguments and the runs that end before an
// update starts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "app/cli.h"

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

CliRun RunCliWith(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    CliRun r;
    r.status = app::RunCli(args, out, err, false);
    r.out = Slurp(out);
    r.err = Slurp(err);
    std::fclose(out);
    std::fclose(err);
    return r;
}

struct CliFixture : ::testing::Test {
    std::string folder;
    void SetUp() override {
        char tmpl[] = "/tmp/quarbsl-cli-XXXXXX";
        folder = ::mkdtemp(tmpl);
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
    bool Exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }
};

}  // namespace

TEST(CliArguments, RefusesWhatItDoesNotKnow) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--port"}, "--port needs a value"},
        {{"--firmware", ""}, "--firmware needs a value"},
        {{"--sensor-type", "12x"}, "--sensor-type needs a sensor type code, not \"12x\""},
        {{"--sensor-type", "-5"}, "--sensor-type needs a sensor type code, not \"-5\""},
        {{"-factory"}, "unknown option \"-factory\""},
        {{"--yes", "--verbose"}, "unknown option \"--verbose\""},
    };
    for (const Case& c : cases) {
        app::CliOptions o;
        std::string error;
        EXPECT_FALSE(app::ParseCliArguments(c.args, &o, &error));
        EXPECT_EQ(error, c.error);
    }
    app::CliOptions o;
    std::string error;
    ASSERT_TRUE(app::ParseCliArguments({"--port", "/dev/pts/4", "--factory", "--sensor-type", "261", "--yes",
                                        "--all-ports", "--work-folder", "/w", "--dump-image", "d.txt"},
                                       &o, &error));
    EXPECT_EQ(o.port, "/dev/pts/4");
    EXPECT_TRUE(o.factory && o.yes && o.allPorts && o.haveSensorType);
    EXPECT_EQ(o.sensorType, 261u);
    EXPECT_EQ(o.workFolder, "/w");
    EXPECT_EQ(o.dumpImage, "d.txt");
}

TEST_F(CliFixture, UsageErrorsExitWithTwo) {
    CliRun r = RunCliWith({"--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option \"--bogus\""), std::string::npos);

    r = RunCliWith({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--port", "--factory", "--rep", "--firmware", "--sensor-type", "--yes",
                               "--work-folder", "--list-ports", "--all-ports", "--dump-image"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;

    // Modes the commands need.
    struct Case {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--firmware", "x.txt"}, "--firmware needs --rep or --factory"},
        {{"--sensor-type", "261"}, "--sensor-type needs --factory"},
        {{"--factory", "--sensor-type", "95"}, "95 is not a sensor type of the sensor menu"},
        {{"--factory", "--sensor-type", "107"}, "107 is not a sensor type of the sensor menu"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--work-folder", folder});
        r = RunCliWith(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
}

TEST_F(CliFixture, DumpWritesTheImageInUse) {
    std::string dump = folder + "/dump.txt";
    CliRun r = RunCliWith({"--work-folder", folder, "--dump-image", dump});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(dump);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "@08000");
    EXPECT_EQ(second.size(), 32u);

    // A loaded file is the image in use.
    std::string fw = folder + "/LumoZ 3.02.txt";
    std::ofstream(fw) << "@8000\n0F 12 0E 12\n@FFE0\n00 80\nq\n";
    r = RunCliWith({"--work-folder", folder, "--rep", "--firmware", fw, "--dump-image", dump});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in2(dump);
    std::getline(in2, first);
    std::getline(in2, second);
    EXPECT_EQ(first, "@08000");
    EXPECT_EQ(second, "120F120E");

    r = RunCliWith({"--work-folder", folder, "--dump-image", folder + "/no/such/folder/dump.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("--- Error ---\nError saving firmware image: -2"), std::string::npos) << r.out;
}

TEST_F(CliFixture, AFirmwareFileThatFailsEndsTheRunBeforeAnythingElse) {
    std::string fw = folder + "/Broken 1.00.txt";
    std::ofstream(fw) << "this is no TI-Text\n";
    std::string dump = folder + "/dump.txt";
    CliRun r = RunCliWith({"--work-folder", folder, "--factory", "--firmware", fw, "--dump-image", dump,
                    "--port", "pts/999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--- File Error ---\nThe file \"Broken 1.00.txt\" is not a valid firmware file."),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(Exists(dump));
    EXPECT_EQ(r.out.find("Connecting"), std::string::npos);
}

TEST_F(CliFixture, TooLongPortNameIsRefusedBeforeConnecting) {
    CliRun r = RunCliWith({"--work-folder", folder, "--port", "/tmp/a-very-long-port-name"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--- Connection Error ---\nThe Comm Port name \"/tmp/a-very-long-port-name\" is too long."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("Connecting"), std::string::npos);
}

TEST_F(CliFixture, NothingListeningEndsWithTheConnectionMessageAndTheResult) {
    CliRun r = RunCliWith({"--work-folder", folder, "--port", "pts/9999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[  0%] Connecting to ORBIS 62 Sensor..."), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("--- Connection Error ---\nComm Port \"pts/9999\" isn't available."), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Update failed with result -20"), std::string::npos);
    // The run used the working folder's log.
    EXPECT_TRUE(Exists(folder + "/ORBIS 62 Sensor Firmware Updater.errors.txt"));
}
