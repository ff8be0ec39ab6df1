#include "serial/portscan.h"

#include "serial/pty_pair.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using quarport::DeviceEntry;

namespace {

DeviceEntry Dev(const char* name, const char* friendly = "", const char* id = "") {
    DeviceEntry d {};
    std::snprintf(d.name, sizeof d.name, "%s", name);
    std::snprintf(d.friendly, sizeof d.friendly, "%s", friendly);
    std::snprintf(d.instanceId, sizeof d.instanceId, "%s", id);
    return d;
}

std::vector<CommPortInfo> Build(const std::vector<DeviceEntry>& devs, int capacity = 16) {
    std::vector<CommPortInfo> out(static_cast<size_t>(capacity));
    int n = quarport::BuildPortList(devs.data(), static_cast<int>(devs.size()), out.data(), capacity);
    out.resize(static_cast<size_t>(n));
    quarport::ClassifyPorts(out.data(), n);
    return out;
}

std::vector<std::string> Names(const std::vector<CommPortInfo>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(p.name);
    return names;
}

TEST(PortList, SortsByTrailingNumberLaterReportedFirstOnTies) {
    auto ports = Build({Dev("ttyUSB10"), Dev("ttyUSB3"), Dev("ttyS4"), Dev("ttyUSB1"), Dev("ttyACM1")});
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"ttyACM1", "ttyUSB1", "ttyUSB3", "ttyS4", "ttyUSB10"}));
    EXPECT_EQ(ports[4].number, 10);
}

TEST(PortList, OnlyNamesThatFitAndEndInANumber) {
    std::string longName(sizeof(CommPortInfo::name), 'x');
    longName.back() = '5';  // 25 characters: would not fit the record whole
    auto ports = Build({Dev("console"), Dev("ttyUSB"), Dev(""), Dev(longName.c_str()), Dev("ttyUSB99999999999"),
                        Dev("rfcomm0"), Dev("pts/3")});
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"rfcomm0", "pts/3"}));
}

TEST(PortList, DescriptionsFromFriendlyNames) {
    std::string longFriendly(64, 'F');
    struct Case {
        DeviceEntry dev;
        std::string description;
        uint8_t wired, plain;
    } cases[] = {
        {Dev("ttyS0"), "ttyS0 Communications Port", 1, 1},
        {Dev("ttyUSB3", "USB Serial Port (COM3)"), "ttyUSB3 USB Serial Port", 1, 1},
        {Dev("ttyUSB4", "FTDI FT232R USB UART"), "ttyUSB4 FTDI FT232R USB UART", 1, 1},
        // the maker's adapter, told by its product id and QUARNEL_LNK
        {Dev("ttyUSB5", "Quarnel USB Link", "USB\\VID_0403&PID_8414\\QUARNEL_LNK[A1B2]"),
         "ttyUSB5 VORTA USB Adapter [A1B2]", 1, 0},
        {Dev("ttyUSB6", "Quarnel LNK cable", "USB\\VID_0403&PID_8414\\QUARNEL_LNK"), "ttyUSB6 VORTA USB Adapter", 1, 0},
        {Dev("ttyUSB8", "Quarnel USB Link", "USB\\VID_0403&PID_8414\\OTHER[A1B2]"), "ttyUSB8 Quarnel USB Link", 1, 1},
        {Dev("ttyUSB9", "Quarnel USB Link", "USB\\VID_0403&PID_84140\\QUARNEL_LNK"), "ttyUSB9 Quarnel USB Link", 1, 1},
        {Dev("ttyUSB11", "Quarnel LNK Link"), "ttyUSB11 Quarnel LNK Link", 1, 0},
        // the outside vendor's radio modem
        {Dev("ttyUSB7", "MaxStream PKG-U Radio"), "ttyUSB7 Quarnel USB Tk9", 0, 1},
        {Dev("ttyUSB12", "Digi PKG-U"), "ttyUSB12 Quarnel USB Tk9", 0, 1},
        {Dev("ttyUSB13", longFriendly.c_str()), "ttyUSB13 " + longFriendly.substr(0, 63 - 9), 1, 1},
    };
    for (const Case& c : cases) {
        auto ports = Build({c.dev});
        ASSERT_EQ(ports.size(), 1u) << c.dev.name;
        EXPECT_EQ(ports[0].description, c.description) << c.dev.name;
        EXPECT_EQ(ports[0].wired, c.wired) << c.dev.name;
        EXPECT_EQ(ports[0].plain, c.plain) << c.dev.name;
        EXPECT_EQ(ports[0].busy, 0);
    }
}

TEST(PortList, StopsAtCapacityInReportedOrder) {
    std::vector<DeviceEntry> devs;
    std::vector<std::string> names;
    for (int i = 20; i > 0; --i) names.push_back("ttyUSB" + std::to_string(i));
    devs.push_back(Dev("console"));  // not a port: takes no place
    for (const auto& n : names) devs.push_back(Dev(n.c_str()));
    auto ports = Build(devs);
    ASSERT_EQ(ports.size(), 16u);
    EXPECT_EQ(std::string(ports.front().name), "ttyUSB5");
    EXPECT_EQ(std::string(ports.back().name), "ttyUSB20");

    CommPortInfo one[1];
    EXPECT_EQ(quarport::BuildPortList(devs.data(), 3, one, 1), 1);
    EXPECT_STREQ(one[0].name, "ttyUSB20");
}

class PortsOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(a.ok() && b.ok());
        char tmpl[] = "/tmp/qsp-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = std::string(tmpl) + "/";
    }
    void TearDown() override {
        for (const auto& l : links) unlink(l.c_str());
        rmdir(dir.c_str());
    }
    std::string Link(const std::string& name, const std::string& target) {
        std::string l = dir + name;
        EXPECT_EQ(symlink(target.c_str(), l.c_str()), 0);
        links.push_back(l);
        return l;
    }
    static CommPortInfo Record(const std::string& name, const std::string& description) {
        CommPortInfo r {};
        std::snprintf(r.name, sizeof r.name, "%s", name.c_str());
        std::snprintf(r.description, sizeof r.description, "%s", description.c_str());
        return r;
    }

    PtyPair a, b;
    std::string dir;
    std::vector<std::string> links;
};

TEST_F(PortsOnPty, HeldOrMissingPortsAreMarkedBusy) {
    PortHolder holder(b.path);
    ASSERT_TRUE(holder.ok());
    std::string longDesc(63, 'd');
    CommPortInfo ports[4] = {Record(a.name, a.name + " Free Port"), Record(b.name, b.name + " USB Serial Port"),
                             Record(b.path, longDesc), Record("ttyQUARGONE3", "ttyQUARGONE3 Gone")};
    quarport::MarkBusyPorts(ports, 4);
    EXPECT_EQ(ports[0].busy, 0);
    EXPECT_EQ(std::string(ports[0].description), a.name + " Free Port");
    EXPECT_EQ(ports[1].busy, 1);
    EXPECT_EQ(std::string(ports[1].description), b.name + " USB Serial Port (busy)");
    EXPECT_EQ(ports[2].busy, 1);
    EXPECT_EQ(std::string(ports[2].description), longDesc + " ");  // 64 characters at most
    EXPECT_EQ(ports[3].busy, 1);

    // The busy check itself leaves the free port free.
    PortHolder after(a.path);
    EXPECT_TRUE(after.ok());
}

TEST_F(PortsOnPty, ExtraPortsResolveAndFollowTheList) {
    std::string link = Link("sim-link", a.path);
    CommPortInfo ports[3] = {Record("ttyUSB0", "ttyUSB0 USB Serial Port")};
    std::string env = "::/nonexistent/quarport:" + link + ":" + a.path + ":" + b.path;
    int n = quarport::AddExtraPorts(env.c_str(), ports, 1, 3);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::string(ports[1].name), a.name);
    EXPECT_EQ(std::string(ports[1].description), a.name + " Virtual Serial Port");
    EXPECT_EQ(ports[1].number, quarport::TrailingNumber(a.name.c_str()));
    EXPECT_EQ(std::string(ports[2].name), b.name);
    EXPECT_EQ(quarport::AddExtraPorts(env.c_str(), ports, 3, 3), 3);  // full
}

TEST_F(PortsOnPty, ProbeFindsOpenableAndHeldPortsOnly) {
    PortHolder holder(b.path);
    ASSERT_TRUE(holder.ok());
    Link("ttyS1", a.path);
    Link("ttyS4", b.path);
    Link("ttyS2", "/nonexistent/quarport");
    Link("ttyS3", a.path);
    CommPortInfo ports[5] = {Record(dir + "ttyS3", "listed already")};
    bool added = false;
    int n = quarport::ProbeSerialPorts(dir.c_str(), ports, 1, 5, &added);
    ASSERT_EQ(n, 3);
    EXPECT_TRUE(added);
    EXPECT_EQ(std::string(ports[1].name), dir + "ttyS1");
    EXPECT_EQ(std::string(ports[1].description), dir + "ttyS1 Communications Port");
    EXPECT_EQ(ports[1].number, 1);
    EXPECT_EQ(ports[1].busy, 0);
    EXPECT_EQ(std::string(ports[2].description), dir + "ttyS4 Communications Port (busy)");
    EXPECT_EQ(ports[2].busy, 1);

    EXPECT_EQ(quarport::ProbeSerialPorts(dir.c_str(), ports, 1, 2, &added), 2);  // stops at capacity
}

TEST_F(PortsOnPty, EnumerationListsExtraPortsAndChecksArguments) {
    PortHolder holder(b.path);
    ASSERT_TRUE(holder.ok());
    std::string env = a.path + ":" + b.path;
    setenv("QUARBSL_EXTRA_PORTS", env.c_str(), 1);
    QuarSerial enumPort;
    CommPortInfo ports[16];
    std::memset(ports, 0x7f, sizeof ports);
    int count = 16;
    int rc = enumPort.CommPortEnum(ports, &count, false);
    unsetenv("QUARBSL_EXTRA_PORTS");
    ASSERT_GE(count, 2);
    EXPECT_GE(rc, 1);
    auto find = [&](const std::string& name) -> const CommPortInfo* {
        for (int i = 0; i < count; ++i)
            if (name == ports[i].name) return &ports[i];
        return nullptr;
    };
    const CommPortInfo* free = find(a.name);
    const CommPortInfo* held = find(b.name);
    ASSERT_TRUE(free && held);
    EXPECT_LT(free, held);
    EXPECT_EQ(std::string(free->description), a.name + " Virtual Serial Port");
    EXPECT_EQ(std::string(held->description), b.name + " Virtual Serial Port (busy)");
    EXPECT_EQ(held->busy, 1);
    EXPECT_EQ(held->wired, 1);
    EXPECT_EQ(held->plain, 1);
    for (int i = count; i < 16; ++i) EXPECT_EQ(ports[i].name[0], '\0');  // zeroed
    EXPECT_FALSE(enumPort.IsOpen());

    int zero = 0;
    EXPECT_EQ(enumPort.CommPortEnum(nullptr, &count, false), -10);
    EXPECT_EQ(enumPort.CommPortEnum(ports, nullptr, false), -10);
    EXPECT_EQ(enumPort.CommPortEnum(ports, &zero, false), -11);
}

}  // namespace
